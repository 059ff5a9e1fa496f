// The configuration reader: one INI file read whole at start-up, then looked up by section and
// key. Only the main thread uses it, before any session exists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

struct section {
    std::string name;
    std::unordered_map<std::string, std::string> entries;
};

class Config {
public:
    Config() = default;
    ~Config() = default;

    // Appends the sections of the file at path. Throws std::invalid_argument with the text
    // "<path> could not be opened" when the file cannot be opened.
    void open(const std::string& path);

    // The first section of that name (exact bytes), or nullptr.
    section* get_section(const std::string& name);
    std::list<section>& get_sections() { return sections; }

    // A copy of the value, or "" when the section or the key is missing.
    std::string get_value(const std::string& sect, const std::string& key);
    // The value as a whole decimal number from min to max; fallback when the key is missing
    // or blank. Throws std::invalid_argument for anything else.
    long get_number(const std::string& sect, const std::string& key, long fallback, long min,
                    long max);
    // The value as yes or no: "yes", "true", "on" or "no", "false", "off" in any case; fallback
    // when the key is missing or blank. Throws std::invalid_argument for anything else.
    bool get_bool(const std::string& sect, const std::string& key, bool fallback);

    // What the file holds beyond known (a list of sections, each with the keys read from it),
    // in file order, each named once: "[name]" for a section not in known, "[name] key" for a
    // key of a known section not in its list. A section listed without keys is another
    // program's: its keys are not judged.
    struct Known {
        const char* section;
        std::vector<const char*> keys;
    };
    std::vector<std::string> unknown(const std::vector<Known>& known) const;

private:
    std::list<section> sections;
};

// A size in bytes: decimal digits with an optional suffix K, M, G or T (powers of 1024), blanks
// around allowed ("64M", "4 G", "1048576"). False for anything else or a size above 2^63.
bool parse_size(const std::string& text, uint64_t* bytes);

// Ends start-up for a value of [sect] key that cannot be used: prints
// 'configuration: "KEY" must be REQUIREMENT, not "VALUE"' (control bytes of the value escaped)
// on standard error and exits with status 1.
[[noreturn]] void refuse_setting(const std::string& sect, const std::string& key,
                                 const std::string& requirement);

// "[server] socket": the path of the server's Unix-domain socket, at most SOCKET_PATH_SIZE - 1
// bytes (what the address of such a socket holds). Missing or empty: no local socket.
constexpr size_t SOCKET_PATH_SIZE = 108;

extern Config config;
