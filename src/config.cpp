// INI parsing: comments in the first column, "[name]" headers, "key = value" or "key: value"
// entries, trimming of keys and values. Entries before the first named header, and those of
// a "[]" section, belong to the next named section.
#include "config.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "logger.h"

Config config;

namespace {

const char* const kTrimSet = " \t\r\n\v\f";

// Both leave a string that is empty or made only of trimming characters unchanged.
std::string& ltrim(std::string& s) {
    size_t pos = s.find_first_not_of(kTrimSet);
    if (pos != std::string::npos) s.erase(0, pos);
    return s;
}

std::string& rtrim(std::string& s) {
    size_t pos = s.find_last_not_of(kTrimSet);
    if (pos != std::string::npos) s.erase(pos + 1);
    return s;
}

}  // namespace

void Config::open(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) throw std::invalid_argument(path + " could not be opened");

    section work;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos) continue;
            if (!work.name.empty()) {
                sections.push_back(work);
                work.name.clear();
                work.entries.clear();
            }
            work.name = line.substr(1, close - 1);
            continue;
        }
        size_t sep = line.find_first_of("=:");
        if (sep == std::string::npos) continue;
        std::string key = line.substr(0, sep);
        std::string value = line.substr(sep + 1);
        ltrim(rtrim(key));
        ltrim(rtrim(value));
        work.entries[key] = value;
    }
    if (!work.name.empty()) sections.push_back(work);
}

section* Config::get_section(const std::string& name) {
    for (auto& s : sections)
        if (s.name == name) return &s;
    return nullptr;
}

std::string Config::get_value(const std::string& sect, const std::string& key) {
    section* s = get_section(sect);
    if (!s) return "";
    auto it = s->entries.find(key);
    return it == s->entries.end() ? "" : it->second;
}

std::vector<std::string> Config::unknown(const std::vector<Known>& known) const {
    std::vector<std::string> found;
    auto add = [&found](std::string name) {
        if (std::find(found.begin(), found.end(), name) == found.end())
            found.push_back(std::move(name));
    };
    for (const auto& s : sections) {
        auto k = std::find_if(known.begin(), known.end(),
                              [&s](const Known& x) { return s.name == x.section; });
        if (k == known.end()) {
            add("[" + s.name + "]");
            continue;
        }
        if (k->keys.empty()) continue;
        // The entries are hashed: sorted, the names come out the same on every run.
        std::vector<std::string> keys;
        for (const auto& e : s.entries) {
            bool listed = std::any_of(k->keys.begin(), k->keys.end(),
                                      [&e](const char* key) { return e.first == key; });
            if (!listed) keys.push_back(e.first);
        }
        std::sort(keys.begin(), keys.end());
        for (auto& key : keys) add("[" + s.name + "] " + key);
    }
    return found;
}

long Config::get_number(const std::string& sect, const std::string& key, long fallback, long min,
                        long max) {
    std::string text = get_value(sect, key);
    if (text.find_first_not_of(kTrimSet) == std::string::npos) return fallback;  // blank
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || !(text[0] >= '0' && text[0] <= '9') || value < min ||
        value > max)
        throw std::invalid_argument(key);
    return value;
}

bool Config::get_bool(const std::string& sect, const std::string& key, bool fallback) {
    std::string text = get_value(sect, key);
    if (text.find_first_not_of(kTrimSet) == std::string::npos) return fallback;  // blank
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower == "yes" || lower == "true" || lower == "on") return true;
    if (lower == "no" || lower == "false" || lower == "off") return false;
    throw std::invalid_argument(key);
}

void refuse_setting(const std::string& sect, const std::string& key,
                    const std::string& requirement) {
    std::string value;
    log_escape(value, config.get_value(sect, key).c_str());
    fprintf(stderr, "configuration: \"%s\" must be %s, not \"%s\"\n", key.c_str(),
            requirement.c_str(), value.c_str());
    exit(1);
}

bool parse_size(const std::string& text, uint64_t* bytes) {
    std::string t = text;
    ltrim(rtrim(t));
    size_t i = 0;
    uint64_t value = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + static_cast<uint64_t>(t[i] - '0');
        i++;
    }
    if (i == 0) return false;
    std::string suffix = t.substr(i);
    ltrim(suffix);
    int shift = 0;
    if (suffix.empty())
        shift = 0;
    else if (suffix == "K" || suffix == "k")
        shift = 10;
    else if (suffix == "M" || suffix == "m")
        shift = 20;
    else if (suffix == "G" || suffix == "g")
        shift = 30;
    else if (suffix == "T" || suffix == "t")
        shift = 40;
    else
        return false;
    if (value > (UINT64_C(1) << 63) >> shift) return false;
    *bytes = value << shift;
    return true;
}
