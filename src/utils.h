// Small text helpers shared by the units.
#pragma once

#include <cstddef>

// Cuts s in place at its first CR or LF; no other trimming.
void strip(char* s);
