// The configuration reader over arbitrary file contents: it must never crash, and every value
// it returns must be one it parsed (trimmed, no line breaks inside).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char tmpl[] = "/dev/shm/boardhub-fuzz-config-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0) abort();
        close(fd);
        std::string p = tmpl;
        static std::string keep = p;
        atexit([] { unlink(keep.c_str()); });
        return p;
    }();
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    fwrite(data, 1, size, f);
    fclose(f);

    Config c;
    c.open(path);
    for (auto& s : c.get_sections()) {
        if (s.name.find('\n') != std::string::npos) abort();
        for (auto& kv : s.entries) {
            if (kv.first.find('\n') != std::string::npos || kv.second.find('\n') != std::string::npos)
                abort();
            if (c.get_section(s.name) == nullptr) abort();
        }
    }
    // Trimmed, unless made only of blanks (the reader leaves those as they are).
    const char* blanks = " \t\r\n\v\f";
    for (const char* key : {"name", "port", "share", "data", "camera", "log"}) {
        std::string v = c.get_value("server", key);
        if (v.find_first_not_of(blanks) == std::string::npos) continue;
        auto blank = [&](char ch) { return ch != '\0' && strchr(blanks, ch) != nullptr; };
        if (blank(v.front()) || blank(v.back())) abort();
    }
    // Every unknown name is a section or a key of one the file holds, each named once.
    std::vector<std::string> unknown = c.unknown({{"server", {"name", "port", "share"}}});
    for (size_t i = 0; i < unknown.size(); i++) {
        if (unknown[i].empty() || unknown[i][0] != '[') abort();
        for (size_t j = 0; j < i; j++)
            if (unknown[j] == unknown[i]) abort();
    }
    return 0;
}
