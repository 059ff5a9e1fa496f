// Listing lines (DC, DN, DP, FN, FP and the status lines), their order on screen, and paths.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli.h"

namespace cli {

namespace {

bool parse_number(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

bool parse_listing(const std::string& text, Listing& out) {
    out = Listing();
    if (text == "CLOSED\n" || text == "ERROR\n" || text == "NONE\n") {
        out.status = text.substr(0, text.size() - 1);
        return true;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) return false;  // every line ends in LF
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        // Kind, two numbers, then the name: the name is the rest of the line, commas included.
        size_t c1 = line.find(',');
        size_t c2 = c1 == std::string::npos ? c1 : line.find(',', c1 + 1);
        size_t c3 = c2 == std::string::npos ? c2 : line.find(',', c2 + 1);
        if (c1 != 2 || c3 == std::string::npos) return false;
        Entry e;
        char kind = line[0], mark = line[1];
        if (kind == 'D' && (mark == 'C' || mark == 'N' || mark == 'P')) {
            e.folder = true;
            e.closed = mark == 'C';
        } else if (kind == 'F' && (mark == 'N' || mark == 'P')) {
            e.folder = false;
        } else {
            return false;
        }
        e.preview = mark == 'P';
        uint64_t a = 0, b = 0;
        if (!parse_number(line.substr(c1 + 1, c2 - c1 - 1), a) ||
            !parse_number(line.substr(c2 + 1, c3 - c2 - 1), b))
            return false;
        e.folders = a;
        e.size = b;
        e.name = line.substr(c3 + 1);
        out.entries.push_back(std::move(e));
    }
    return true;
}

void sort_listing(std::vector<Entry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
        if (x.folder != y.folder) return x.folder;
        return x.name < y.name;
    });
}

std::string human_size(uint64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        snprintf(text, sizeof(text), "%" PRIu64 " B", bytes);
        return text;
    }
    static const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        unit++;
    }
    snprintf(text, sizeof(text), value < 10.0 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    return text;
}

std::string normalise_path(const std::string& path) {
    std::string out = "/";
    for (char c : path) {
        if (c == '/' && out.back() == '/') continue;
        out += c;
    }
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string resolve_path(const std::string& cwd, const std::string& path) {
    std::string full = !path.empty() && path[0] == '/' ? path : cwd + "/" + path;
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= full.size()) {
        size_t slash = full.find('/', pos);
        if (slash == std::string::npos) slash = full.size();
        std::string part = full.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

bool safe_local_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace cli
