// Listings on screen (their orders, times, wildcards) and paths.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "cli.h"

namespace cli {

void sort_listing(std::vector<Entry>& entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
        if (x.folder != y.folder) return x.folder;
        return x.name < y.name;
    });
}

void sort_entries(std::vector<Entry>& entries, SortKey key, bool reverse) {
    // Folders first in name order only, as most listings show them; by time or size the
    // key alone decides (folders count as size 0).
    bool group = key == SortKey::name;
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& x, const Entry& y) {
        if (group && x.folder != y.folder) return x.folder;
        const Entry& a = reverse ? y : x;
        const Entry& b = reverse ? x : y;
        if (key == SortKey::time && a.mtime != b.mtime) return a.mtime > b.mtime;
        uint64_t sa = a.folder ? 0 : a.size, sb = b.folder ? 0 : b.size;
        if (key == SortKey::size && sa != sb) return sa > sb;
        return a.name < b.name;
    });
}

std::string entry_time(int64_t mtime) {
    if (mtime == Entry::kUnknownTime) return "-";
    time_t when = static_cast<time_t>(mtime);
    struct tm tm_when;
    char text[64];
    if (!localtime_r(&when, &tm_when) ||
        strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &tm_when) == 0)
        return "-";
    return text;
}

bool has_wildcard(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
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
