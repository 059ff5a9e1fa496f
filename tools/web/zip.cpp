// A folder as a ZIP archive, made while it is sent: entries stored as they are (no
// compression), each file's bytes fetched piece by piece straight into the HTTP layer's buffer
// and its CRC-32 (zlib) computed on the way, so the archive is never whole in memory or on
// disk. Local headers carry the data-descriptor flag (sizes and CRC follow the bytes); ZIP64
// records appear where a size, an offset or the entry count passes what the classic fields
// hold. What the gateway keeps is the central directory (it closes the archive) and the folders
// still to visit, together bounded by index_max.
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>

#include "web.h"

namespace web {

namespace {

constexpr uint32_t LOCAL_SIG = 0x04034b50, CENTRAL_SIG = 0x02014b50, DESCRIPTOR_SIG = 0x08074b50,
                   END_SIG = 0x06054b50, END64_SIG = 0x06064b50, LOCATOR64_SIG = 0x07064b50;
constexpr uint16_t FLAG_DESCRIPTOR = 0x0008, FLAG_UTF8 = 0x0800;
constexpr uint16_t VERSION_CLASSIC = 20, VERSION_ZIP64 = 45;
constexpr uint16_t MADE_BY_UNIX = (3 << 8) | VERSION_ZIP64;
constexpr uint32_t MAX32 = 0xffffffffu;
constexpr uint16_t MAX16 = 0xffff;
// Lines of the note about what was left out; the rest are counted.
constexpr size_t NOTE_MAX = 64 * 1024;

void put16(std::string& o, uint16_t v) {
    o += static_cast<char>(v & 0xff);
    o += static_cast<char>(v >> 8);
}
void put32(std::string& o, uint32_t v) {
    put16(o, static_cast<uint16_t>(v & 0xffff));
    put16(o, static_cast<uint16_t>(v >> 16));
}
void put64(std::string& o, uint64_t v) {
    put32(o, static_cast<uint32_t>(v & MAX32));
    put32(o, static_cast<uint32_t>(v >> 32));
}

// MS-DOS date and time (local time, two-second steps); 1980-01-01 for what it cannot hold.
void dos_time(int64_t mtime, uint16_t& time, uint16_t& date) {
    time = 0;
    date = (1 << 5) | 1;
    if (mtime == INT64_MIN) return;
    time_t t = static_cast<time_t>(mtime);
    struct tm l;
    if (!localtime_r(&t, &l) || l.tm_year < 80 || l.tm_year > 207) return;
    time = static_cast<uint16_t>((l.tm_hour << 11) | (l.tm_min << 5) | (l.tm_sec / 2));
    date = static_cast<uint16_t>(((l.tm_year - 80) << 9) | ((l.tm_mon + 1) << 5) | l.tm_mday);
}

// The extended timestamp (0x5455): the modification time in UTC seconds, when it fits.
std::string unix_time_extra(int64_t mtime) {
    std::string o;
    if (mtime == INT64_MIN || mtime < INT32_MIN || mtime > INT32_MAX) return o;
    put16(o, 0x5455);
    put16(o, 5);
    o += '\x01';
    put32(o, static_cast<uint32_t>(static_cast<int32_t>(mtime)));
    return o;
}

// Names of other bytes than ASCII are UTF-8 for this board: flagged so, readers do not take
// them for a DOS code page.
uint16_t name_flags(const std::string& name) {
    for (unsigned char ch : name)
        if (ch >= 0x80) return FLAG_UTF8;
    return 0;
}

}  // namespace

ZipStream::ZipStream(ZipSource src, std::string root, std::string prefix, size_t index_max)
    : src_(std::move(src)), prefix_(std::move(prefix)), index_max_(index_max) {
    pending_.push_back(std::move(root));
    index_used_ = pending_.back().size();
}

void ZipStream::note(const std::string& line) {
    if (note_.size() + line.size() + 1 > NOTE_MAX) {
        notes_dropped_++;
        return;
    }
    note_ += line + "\n";
}

// The archive's name of a board path: the prefix, then the path below the archived folder.
std::string ZipStream::archive_name(const std::string& board_path) const {
    const std::string& root = root_path_;
    std::string rel = root == "/" ? board_path.substr(1) : board_path.substr(root.size() + 1);
    return prefix_.empty() ? rel : prefix_ + "/" + rel;
}

void ZipStream::local_header(const std::string& name, int64_t mtime, bool dir, bool zip64) {
    uint16_t flags = name_flags(name), time = 0, date = 0;
    if (!dir) flags |= FLAG_DESCRIPTOR;
    dos_time(mtime, time, date);
    std::string extra = unix_time_extra(mtime);
    if (zip64) {
        // Sizes follow in the descriptor; the extra field says they are 8 bytes there.
        put16(extra, 0x0001);
        put16(extra, 16);
        put64(extra, 0);
        put64(extra, 0);
    }
    cur_ = {};
    cur_.name = name;
    cur_.flags = flags;
    cur_.time = time;
    cur_.date = date;
    cur_.mtime = mtime;
    cur_.dir = dir;
    cur_.zip64 = zip64;
    cur_.offset = offset_ + out_.size();
    put32(out_, LOCAL_SIG);
    put16(out_, zip64 ? VERSION_ZIP64 : VERSION_CLASSIC);
    put16(out_, flags);
    put16(out_, 0);  // stored
    put16(out_, time);
    put16(out_, date);
    put32(out_, 0);  // CRC-32, sizes: in the descriptor (a folder has none)
    put32(out_, zip64 ? MAX32 : 0);
    put32(out_, zip64 ? MAX32 : 0);
    put16(out_, static_cast<uint16_t>(name.size()));
    put16(out_, static_cast<uint16_t>(extra.size()));
    out_ += name;
    out_ += extra;
}

void ZipStream::close_entry() {
    if (!cur_.dir) {
        put32(out_, DESCRIPTOR_SIG);
        put32(out_, cur_.crc);
        if (cur_.zip64) {
            put64(out_, cur_.size);
            put64(out_, cur_.size);
        } else {
            put32(out_, static_cast<uint32_t>(cur_.size));
            put32(out_, static_cast<uint32_t>(cur_.size));
        }
    }
    // Its record in the central directory, kept until the end.
    std::string extra64;
    bool big_size = cur_.size >= MAX32, big_offset = cur_.offset >= MAX32;
    if (big_size || big_offset) {
        put16(extra64, 0x0001);
        put16(extra64, static_cast<uint16_t>((big_size ? 16 : 0) + (big_offset ? 8 : 0)));
        if (big_size) {
            put64(extra64, cur_.size);
            put64(extra64, cur_.size);
        }
        if (big_offset) put64(extra64, cur_.offset);
    }
    std::string extra = extra64 + unix_time_extra(cur_.mtime);
    std::string& c = central_;
    size_t before = c.size();
    put32(c, CENTRAL_SIG);
    put16(c, MADE_BY_UNIX);
    put16(c, cur_.zip64 || !extra64.empty() ? VERSION_ZIP64 : VERSION_CLASSIC);
    put16(c, cur_.flags);
    put16(c, 0);
    put16(c, cur_.time);
    put16(c, cur_.date);
    put32(c, cur_.crc);
    put32(c, big_size ? MAX32 : static_cast<uint32_t>(cur_.size));
    put32(c, big_size ? MAX32 : static_cast<uint32_t>(cur_.size));
    put16(c, static_cast<uint16_t>(cur_.name.size()));
    put16(c, static_cast<uint16_t>(extra.size()));
    put16(c, 0);  // comment
    put16(c, 0);  // disk
    put16(c, 0);  // internal attributes
    put32(c, (cur_.dir ? 040755u : 0100644u) << 16);
    put32(c, big_offset ? MAX32 : static_cast<uint32_t>(cur_.offset));
    c += cur_.name;
    c += extra;
    index_used_ += c.size() - before;
    entries_++;
}

bool ZipStream::next_entry() {
    for (;;) {
        if (pos_ < listing_.size()) {
            const Entry& e = listing_[pos_++];
            std::string path = (folder_ == "/" ? "" : folder_) + "/" + e.name;
            std::string name = archive_name(path);
            if (e.dir && e.closed) {
                note("skipped, closed to you: " + path);
                continue;
            }
            // A name the classic fields cannot hold (over 65535 bytes) is no name of a board.
            if (name.size() + 1 > MAX16) {
                note("skipped, name too long: " + path);
                continue;
            }
            if (index_used_ + name.size() + 128 > index_max_) {
                full_ = true;
                return false;
            }
            if (e.dir) {
                local_header(name + "/", e.mtime, true, false);
                close_entry();
                subfolders_.push_back(path);
                index_used_ += path.size();
                continue;
            }
            file_path_ = path;
            file_size_ = e.size;
            local_header(name, e.mtime, false, e.size >= MAX32);
            in_file_ = true;
            return true;
        }
        // This folder done: its subfolders next, in the order listed.
        while (!subfolders_.empty()) {
            pending_.push_back(std::move(subfolders_.back()));
            subfolders_.pop_back();
        }
        if (pending_.empty()) return false;
        folder_ = std::move(pending_.back());
        pending_.pop_back();
        index_used_ -= std::min(index_used_, folder_.size());
        if (root_path_.empty()) root_path_ = folder_;
        listing_.clear();
        pos_ = 0;
        int got = src_.list(folder_, listing_, complete_, changed_);
        if (got < 0) return failed_ = true, false;
        if (got == 0) {
            note("skipped, could not be listed: " + folder_);
            listing_.clear();
        } else {
            if (!complete_) note("listed incompletely (entries may be missing): " + folder_);
            if (changed_) note("changed while it was listed (entries may be missing): " + folder_);
        }
    }
}

void ZipStream::finish() {
    if (full_)
        note("the archive stops here: the folder holds more entries than one archive of the "
             "gateway takes; download its subfolders one by one");
    if (notes_dropped_) note(std::to_string(notes_dropped_) + " more lines left out of this note");
    if (!note_.empty()) {
        std::string name = prefix_.empty() ? "README-incomplete.txt" : prefix_ + "/README-incomplete.txt";
        std::string text =
            "This archive is not the whole folder:\n\n" + note_;
        local_header(name, static_cast<int64_t>(time(nullptr)), false, false);
        cur_.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(text.data()),
                                               static_cast<uInt>(text.size())));
        cur_.size = text.size();
        out_ += text;
        close_entry();
    }
    uint64_t cd_offset = offset_ + out_.size();
    uint64_t cd_size = central_.size();
    out_ += central_;
    central_.clear();
    central_.shrink_to_fit();
    bool zip64 = entries_ >= MAX16 || cd_offset >= MAX32 || cd_size >= MAX32;
    if (zip64) {
        uint64_t end64_offset = offset_ + out_.size();
        put32(out_, END64_SIG);
        put64(out_, 44);
        put16(out_, MADE_BY_UNIX);
        put16(out_, VERSION_ZIP64);
        put32(out_, 0);
        put32(out_, 0);
        put64(out_, entries_);
        put64(out_, entries_);
        put64(out_, cd_size);
        put64(out_, cd_offset);
        put32(out_, LOCATOR64_SIG);
        put32(out_, 0);
        put64(out_, end64_offset);
        put32(out_, 1);
    }
    put32(out_, END_SIG);
    put16(out_, 0);
    put16(out_, 0);
    put16(out_, entries_ >= MAX16 ? MAX16 : static_cast<uint16_t>(entries_));
    put16(out_, entries_ >= MAX16 ? MAX16 : static_cast<uint16_t>(entries_));
    put32(out_, cd_size >= MAX32 ? MAX32 : static_cast<uint32_t>(cd_size));
    put32(out_, cd_offset >= MAX32 ? MAX32 : static_cast<uint32_t>(cd_offset));
    put16(out_, 0);
    finished_ = true;
}

long ZipStream::read(char* buf, size_t max) {
    size_t n = 0;
    while (n < max) {
        if (out_used_ < out_.size()) {
            size_t k = std::min(max - n, out_.size() - out_used_);
            memcpy(buf + n, out_.data() + out_used_, k);
            out_used_ += k;
            n += k;
            continue;
        }
        offset_ += out_.size();
        out_.clear();
        out_used_ = 0;
        if (failed_) return -1;
        if (in_file_) {
            // The file's bytes straight into the buffer; what is left of it goes out first.
            if (n > 0) break;
            if (cur_.size < file_size_) {
                size_t want = static_cast<size_t>(std::min<uint64_t>(max, file_size_ - cur_.size));
                long got = src_.fetch(file_path_, cur_.size, buf, want);
                if (got < 0) return -1;
                if (got > 0) {
                    cur_.crc = static_cast<uint32_t>(
                        crc32(cur_.crc, reinterpret_cast<const Bytef*>(buf), static_cast<uInt>(got)));
                    cur_.size += static_cast<uint64_t>(got);
                    offset_ += static_cast<uint64_t>(got);
                    return got;
                }
                note("shorter than listed (it changed or could not be read): " + file_path_ + ", " +
                     std::to_string(cur_.size) + " of " + std::to_string(file_size_) + " bytes");
            }
            in_file_ = false;
            close_entry();
            continue;
        }
        if (finished_) break;
        if (full_ || !next_entry()) {
            if (failed_) return -1;
            finish();
        }
    }
    return static_cast<long>(n);
}

}  // namespace web
