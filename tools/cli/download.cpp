// get: files and folder trees from the server, in pieces or whole, to local files (complete
// under their final name, or not there at all) or to standard output.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"
#include "json_util.h"

namespace cli {

namespace {

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_dir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Moves a finished download to its name; without overwrite, an existing name stays as it is,
// even one that appeared during the download.
bool place(const std::string& temp, const std::string& local, bool overwrite) {
    if (overwrite) return rename(temp.c_str(), local.c_str()) == 0;
    if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, local.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the flag: a hard link refuses an existing name just as well.
    if (link(temp.c_str(), local.c_str()) != 0) return false;
    unlink(temp.c_str());
    return true;
}

}  // namespace

// Reads frames until one that is not a "21" message; its payload goes to fd.
int Session::receive_data(const std::string& want_type, uint64_t want_length, int fd,
                          uint64_t done_before, Progress* progress) {
    for (;;) {
        std::string type, message;
        uint64_t length = 0, received = 0;
        bool write_failed = false, refused = false;
        bool ok = client_.recv_frame_to(
            type, length,
            [&](const char* data, size_t n) {
                if (type == "21") {
                    message.append(data, n);
                    return true;
                }
                if (type != want_type || received + n > want_length) {
                    refused = true;
                    return false;
                }
                received += n;
                while (n > 0) {
                    ssize_t w = write(fd, data, n);
                    if (w < 0) {
                        if (errno == EINTR) continue;
                        write_failed = true;
                        return false;
                    }
                    data += w;
                    n -= static_cast<size_t>(w);
                }
                if (progress) progress->update(done_before + received);
                return true;
            });
        if (write_failed) {
            int err = errno;
            if (progress) progress->abandon();
            // A reader that went away (get ... - | head) is no failure worth a message.
            if (err != EPIPE)
                fprintf(stderr, "boardhub-cli: get: cannot write the downloaded data: %s\n",
                        strerror(err));
            client_.close();
            connected_ = false;
            out_of_sync_ = true;
            return kLocal;
        }
        if (ok && type == "21") {
            client_.messages.push_back(bh::Frame{type, message});
            continue;
        }
        if (!ok && !refused) {
            // Nothing refused by us: an interrupt, or the connection failed or closed.
            if (progress) progress->abandon();
            return lost(word_);
        }
        if (!ok || type != want_type || length != want_length) {
            // A frame other than the data announced: the stream cannot be trusted any more.
            if (progress) progress->abandon();
            if (type != want_type)
                fprintf(stderr, "boardhub-cli: get: expected a \"%s\" data frame, got \"%s\"\n",
                        want_type.c_str(), printable(type).c_str());
            else
                fprintf(stderr,
                        "boardhub-cli: get: the server announced %" PRIu64 " bytes where %" PRIu64
                        " were asked for\n",
                        length, want_length);
            client_.close();
            connected_ = false;
            logged_in_ = false;
            return kConnection;
        }
        uint64_t now_done = done_before + received;
        if (progress) progress->update(now_done, progress->complete(now_done));
        print_messages();
        return kOk;
    }
}

int Session::download(const std::string& remote_path, const std::string& local, bool whole,
                      size_t piece, bool force, const Entry* known, const std::string& shown) {
    Entry entry;
    if (known) {
        entry = *known;
    } else if (int rc = lookup(remote_path, entry)) {
        return rc;
    }
    if (entry.folder) {
        fprintf(stderr, "boardhub-cli: get: %s: is a folder (get -r downloads folders)\n",
                printable(remote_path).c_str());
        return kRefused;
    }
    const uint64_t size = entry.size;
    const bool to_stdout = local == "-";
    if (!to_stdout && !force && exists(local)) {
        fprintf(stderr, "boardhub-cli: get: %s exists; not overwritten (-f overwrites)\n",
                local.c_str());
        return kLocal;
    }

    int fd = STDOUT_FILENO;
    std::string temp;
    uint64_t resumed = 0;  // bytes already in a kept ".NAME.part" (get --continue)
    const bool resume = resume_ && !to_stdout && !whole;
    if (resume) {
        size_t slash = local.find_last_of('/');
        std::string dir = slash == std::string::npos ? "" : local.substr(0, slash + 1);
        temp = dir + "." + base_name(local) + ".part";
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        struct stat part;
        if (fd < 0 || fstat(fd, &part) != 0) {
            fprintf(stderr, "boardhub-cli: get: cannot open %s: %s\n", temp.c_str(),
                    strerror(errno));
            if (fd >= 0) close(fd);
            return kLocal;
        }
        resumed = static_cast<uint64_t>(part.st_size);
        if (resumed > size) {  // not a part of this file: start again
            resumed = 0;
            if (ftruncate(fd, 0) != 0) resumed = 0;
        }
        lseek(fd, static_cast<off_t>(resumed), SEEK_SET);
    } else if (!to_stdout) {
        size_t slash = local.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : local.substr(0, slash + 1);
        if (dir.empty()) dir = "/";
        temp = join(dir, "." + base_name(local) + ".XXXXXX.part");
        std::vector<char> templ(temp.begin(), temp.end());
        templ.push_back('\0');
        // No interrupt between creating the file and recording its name for removal.
        sigset_t block, saved;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigaddset(&block, SIGHUP);
        sigprocmask(SIG_BLOCK, &block, &saved);
        fd = mkstemps(templ.data(), 5);
        if (fd >= 0) set_temp_path(templ.data());
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        if (fd < 0) {
            fprintf(stderr, "boardhub-cli: get: cannot create a file in %s: %s\n", dir.c_str(),
                    strerror(errno));
            return kLocal;
        }
        temp = templ.data();
        // mkstemps makes the file private; the result gets the usual mode of a new file.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0644 & ~mask);
    }

    int rc = kOk;
    uint64_t done = resumed;
    Progress progress(opt_.progress && !to_stdout, shown, size);
    progress.update(done);
    std::string what = printable(remote_path);
    if (whole) {
        JsonPtr c = make_command("FILE");
        add(c.get(), "FILE", remote_path);
        bh::Frame reply;
        rc = request(c.get(), reply);
        if (rc == kOk) {
            std::string result = member(parse(reply.payload).get(), "RESULT");
            if (result == "OK") {
                rc = receive_data("88", size, fd, 0, &progress);
                if (rc == kOk) done = size;
            } else if (result == "NONE") {
                fprintf(stderr, "boardhub-cli: get: %s: the server cannot open this file\n",
                        what.c_str());
                rc = kRefused;
            } else {
                fprintf(stderr, "boardhub-cli: get: %s: the server refused the download\n",
                        what.c_str());
                rc = kRefused;
            }
        }
    } else {
        bool first = true;
        while (rc == kOk && (first || done < size)) {
            // Between pieces the connection is in step: an interrupt stops here cleanly.
            if (interrupted()) {
                rc = kInterrupted;
                break;
            }
            uint64_t want = size - done < piece ? size - done : piece;
            JsonPtr c = make_command(first ? "SEND" : "NEXT");
            if (first) add(c.get(), "FILE", remote_path);
            add(c.get(), "SIZE", static_cast<int64_t>(want));
            if (first && done > 0) add(c.get(), "OFFSET", static_cast<int64_t>(done));
            bh::Frame reply;
            rc = request(c.get(), reply);
            if (rc != kOk) break;
            std::string result = member(parse(reply.payload).get(), "RESULT");
            if (result == "NONE") {
                fprintf(stderr, "boardhub-cli: get: %s: the server cannot open this file\n",
                        what.c_str());
                rc = kRefused;
                break;
            }
            if (result != "OK") {
                fprintf(stderr, "boardhub-cli: get: %s: the server refused the download\n",
                        what.c_str());
                rc = kRefused;
                break;
            }
            rc = receive_data("89", want, fd, done, &progress);
            if (rc == kOk) done += want;
            first = false;
        }
    }
    progress.abandon();
    if (rc == kInterrupted) fprintf(stderr, "boardhub-cli: get: %s: interrupted\n", what.c_str());
    if (to_stdout) return rc;

    if (rc == kOk && fsync(fd) != 0 && errno != EINVAL) {
        fprintf(stderr, "boardhub-cli: get: %s: %s\n", temp.c_str(), strerror(errno));
        rc = kLocal;
    }
    if (close(fd) != 0 && rc == kOk) {
        fprintf(stderr, "boardhub-cli: get: %s: %s\n", temp.c_str(), strerror(errno));
        rc = kLocal;
    }
    // The final name only ever holds a complete file: the size on disk must match the listing.
    struct stat st;
    if (rc == kOk && (stat(temp.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != size ||
                      done != size)) {
        fprintf(stderr, "boardhub-cli: get: %s: received size does not match the listing\n",
                what.c_str());
        rc = kConnection;
    }
    if (rc == kOk && !place(temp, local, force)) {
        if (errno == EEXIST)
            fprintf(stderr, "boardhub-cli: get: %s exists; not overwritten (-f overwrites)\n",
                    local.c_str());
        else
            fprintf(stderr, "boardhub-cli: get: cannot rename to %s: %s\n", local.c_str(),
                    strerror(errno));
        rc = kLocal;
    }
    // A cut download that is to be continued keeps what it has.
    if (rc != kOk && !(resume && rc != kLocal)) unlink(temp.c_str());
    if (rc != kOk && resume && rc != kLocal)
        fprintf(stderr, "boardhub-cli: get: %" PRIu64 " bytes kept in %s; get -c continues\n",
                done, temp.c_str());
    set_temp_path(nullptr);
    if (rc == kOk && in_shell_) printf("%s: %" PRIu64 " bytes\n", local.c_str(), size);
    return rc;
}

int Session::download_tree(const std::string& remote_path, const std::string& local, bool whole,
                           size_t piece, bool force, int depth, int& skipped) {
    std::string shown = printable(remote_path);
    if (depth > kMaxTreeDepth) {
        fprintf(stderr, "boardhub-cli: get: %s: skipped, deeper than %d folders\n",
                shown.c_str(), kMaxTreeDepth);
        skipped++;
        return kOk;
    }
    Listing listing;
    if (int rc = list(remote_path, false, listing)) return rc;
    if (listing.status == "CLOSED") {
        fprintf(stderr, "boardhub-cli: get: %s: skipped, closed (you may not enter this folder)\n",
                shown.c_str());
        skipped++;
        return kOk;
    }
    if (listing.status == "ERROR") {
        fprintf(stderr, "boardhub-cli: get: %s: no such folder, or it cannot be read\n",
                shown.c_str());
        return kRefused;
    }
    if (mkdir(local.c_str(), 0777) != 0 && !(errno == EEXIST && is_dir(local))) {
        fprintf(stderr, "boardhub-cli: get: cannot make the folder %s: %s\n", local.c_str(),
                strerror(errno));
        return kLocal;
    }
    // What the listing shows is copied; the folder still counts as not copied whole.
    if (listing.filled && !listing.info.used_entries) {
        fprintf(stderr,
                "boardhub-cli: get: %s: the listing filled the server's reply; %zu entries "
                "copied, others may be missing\n",
                shown.c_str(), listing.entries.size());
        cut_listings_++;
    } else if (listing.filled) {
        fprintf(stderr,
                "boardhub-cli: get: %s: the server's listing was out of form (%s); %zu entries "
                "copied, others may be missing\n",
                shown.c_str(), printable(listing.info.problem).c_str(), listing.entries.size());
        cut_listings_++;
    }
    if (listing.info.changed) {
        fprintf(stderr,
                "boardhub-cli: get: %s: warning: the folder changed while it was listed; "
                "entries may be missing or out of date\n",
                shown.c_str());
        changed_listings_++;
    }
    sort_listing(listing.entries);
    int worst = kOk;
    for (const Entry& e : listing.entries) {
        std::string child = remote_path == "/" ? "/" + e.name : remote_path + "/" + e.name;
        // A name from the server becomes a local path segment: nothing that climbs out.
        if (!safe_local_name(e.name)) {
            fprintf(stderr, "boardhub-cli: get: %s: skipped, not usable as a local name\n",
                    printable(child).c_str());
            skipped++;
            continue;
        }
        int rc;
        if (e.folder && e.closed) {
            fprintf(stderr,
                    "boardhub-cli: get: %s: skipped, closed (you may not enter this folder)\n",
                    printable(child).c_str());
            skipped++;
            continue;
        } else if (e.folder) {
            rc = download_tree(child, join(local, e.name), whole, piece, force, depth + 1,
                               skipped);
        } else {
            rc = download(child, join(local, e.name), whole, piece, force, &e, child);
        }
        if (rc == kInterrupted || rc == kConnection) return rc;
        if (worst == kOk) worst = rc;
    }
    return worst;
}

int Session::cmd_get(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args,
                    {{"-f", "--force", false},
                     {"-r", "--recursive", false},
                     {"-w", "--whole", false},
                     {"-c", "--continue", false},
                     {"-s", "--piece", true}},
                    a))
        return kUsage;
    size_t piece = opt_.piece;
    if (a.has("--piece")) {
        const std::string& v = a.options["--piece"];
        char* end = nullptr;
        unsigned long n = strtoul(v.c_str(), &end, 10);
        if (v.empty() || *end || n == 0 || n > kMaxPiece) {
            fprintf(stderr, "boardhub-cli: get: the piece size must lie between 1 and %zu\n",
                    kMaxPiece);
            return kUsage;
        }
        piece = n;
    }
    bool force = a.has("--force"), recursive = a.has("--recursive"), whole = a.has("--whole");
    resume_ = a.has("--continue");
    if (resume_ && whole) return usage_error("--continue works in pieces, not with --whole");
    if (resume_) {
        if (int rc = need_extension("offset", "resumed downloads")) return rc;
    }
    std::vector<std::string> typed_remotes = a.operands;
    if (typed_remotes.empty()) return usage_error("name a remote file");
    // One name: into the local folder. Two: REMOTE LOCAL. More: the last is a local folder.
    std::string local;
    if (typed_remotes.size() >= 2) {
        local = typed_remotes.back();
        typed_remotes.pop_back();
    }
    // Wildcards name what the folder's listing holds; a pattern that matches nothing fails.
    // A pattern matched against a listing that may lack entries counts as a cut folder.
    cut_listings_ = 0;
    changed_listings_ = 0;
    std::vector<Match> remotes;
    for (const std::string& typed : typed_remotes) {
        std::vector<Match> matches;
        bool partial = false;
        if (int rc = expand(typed, matches, &partial)) return rc;
        if (partial) cut_listings_++;
        remotes.insert(remotes.end(), matches.begin(), matches.end());
    }
    bool to_stdout = local == "-";
    bool into_folder = !to_stdout && !local.empty() && is_dir(local);
    if (remotes.size() > 1 && !to_stdout && !into_folder) {
        fprintf(stderr, "boardhub-cli: get: %s is not a folder (several files go into one)\n",
                local.c_str());
        return kUsage;
    }
    if (to_stdout && recursive) return usage_error("folders cannot go to standard output");

    int worst = kOk, skipped = 0;
    for (const Match& m : remotes) {
        const std::string& path = m.path;
        std::string name = base_name(path);
        std::string target;
        if (to_stdout) {
            target = "-";
        } else if (local.empty() || into_folder) {
            if (name.empty()) {
                fprintf(stderr, "boardhub-cli: get: name a local folder for the root folder\n");
                return kUsage;
            }
            target = join(local, name);
        } else {
            target = local;
        }
        Entry entry = m.entry;
        int rc = kOk;
        if (m.known && entry.closed) {
            fprintf(stderr, "boardhub-cli: get: %s: closed (you may not enter this folder)\n",
                    printable(path).c_str());
            rc = kRefused;
        } else if (!m.known) {
            rc = lookup(path, entry);
        }
        if (rc == kOk && entry.folder) {
            if (!recursive) {
                fprintf(stderr, "boardhub-cli: get: %s: is a folder (get -r downloads folders)\n",
                        printable(path).c_str());
                rc = kRefused;
            } else {
                rc = download_tree(path, target, whole, piece, force, 0, skipped);
            }
        } else if (rc == kOk) {
            rc = download(path, target, whole, piece, force, &entry, name);
        }
        if (rc == kInterrupted || rc == kConnection) return rc;
        if (worst == kOk) worst = rc;
    }
    if (skipped > 0) {
        fprintf(stderr, "boardhub-cli: get: %d %s skipped\n", skipped,
                skipped == 1 ? "entry" : "entries");
        if (worst == kOk) worst = kRefused;
    }
    if (cut_listings_ > 0) {
        fprintf(stderr,
                "boardhub-cli: get: incomplete: %d %s listed only in part by the server; not "
                "everything was copied\n",
                cut_listings_, cut_listings_ == 1 ? "folder was" : "folders were");
        if (worst == kOk || worst == kRefused) worst = kIncomplete;
    }
    if (changed_listings_ > 0) {
        fprintf(stderr,
                "boardhub-cli: get: incomplete: %d %s changed while %s copied; the copy may "
                "lack entries or hold old ones\n",
                changed_listings_, changed_listings_ == 1 ? "folder" : "folders",
                changed_listings_ == 1 ? "it was" : "they were");
        if (worst == kOk || worst == kRefused) worst = kIncomplete;
    }
    return worst;
}

}  // namespace cli
