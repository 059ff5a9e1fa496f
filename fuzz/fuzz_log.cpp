// Log escaping over arbitrary texts: the escaped text holds no control byte (C0, DEL, C1 in
// UTF-8 form), so it is one line that no terminal acts on, and it decodes back to the input.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "logger.h"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The reading the escaping promises: "\\" a backslash, "\n" "\r" "\t" "\e" and "\xNN" their
// bytes, any other backslash itself.
std::string decode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char n = s[i + 1];
        const char* simple = n == '\\' ? "\\" : n == 'n' ? "\n" : n == 'r' ? "\r"
                           : n == 't' ? "\t" : n == 'e' ? "\x1b" : nullptr;
        if (simple) {
            out += simple;
            i++;
        } else if (n == 'x' && i + 3 < s.size() && hex_value(s[i + 2]) >= 0 &&
                   hex_value(s[i + 3]) >= 0) {
            out += static_cast<char>(hex_value(s[i + 2]) * 16 + hex_value(s[i + 3]));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));  // the logger takes C texts
    std::string out;
    log_escape(out, text.c_str());
    for (size_t i = 0; i < out.size(); i++) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7f) abort();
        if (c == 0xc2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(out[i + 1]) <= 0x9f)
            abort();
    }
    if (decode(out) != text) abort();
    return 0;
}
