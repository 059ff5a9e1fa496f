// Small text helpers shared by the units.
#pragma once

#include <cstddef>

// Cuts s in place at its first CR or LF; no other trimming.
void strip(char* s);

// Length of the longest prefix of s (of length len) that is at most max bytes and does not end
// inside a UTF-8 character.
size_t utf8_cut(const char* s, size_t len, size_t max);
