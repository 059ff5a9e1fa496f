// form_header writes its digits by hand; it must give exactly what "%.2s%10zu" gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "server.h"

namespace {

std::string expected(const char* type, size_t len) {
    char b[64];
    snprintf(b, sizeof(b), "%.2s%10zu", type, len);
    return std::string(b).substr(0, HEADER_SIZE);
}

TEST(FormHeader, MatchesPrintfForEveryLengthWidth) {
    const size_t lengths[] = {0, 1, 9, 10, 17, 99, 100, 1024, 65535, 65536, 614400,
                              268435456, 999999999, 1000000000, 9999999999ull};
    for (const char* type : {"10", "11", "21", "85", "88", "89"}) {
        for (size_t len : lengths) {
            char dst[HEADER_SIZE + 1];
            memset(dst, 'X', sizeof(dst));
            form_header(dst, type, len);
            EXPECT_EQ(std::string(dst), expected(type, len)) << type << " " << len;
        }
    }
}

TEST(FormHeader, OddInputsStillTerminatedWithinThirteenBytes) {
    char dst[HEADER_SIZE + 1];
    form_header(dst, "1", 5);
    EXPECT_EQ(std::string(dst), expected("1", 5));
    form_header(dst, "11", 10000000000ull);  // eleven digits: cut like snprintf cuts them
    EXPECT_EQ(std::string(dst), expected("11", 10000000000ull));
    EXPECT_EQ(strlen(dst), HEADER_SIZE);
}

}  // namespace
