// Header checks found by fuzzing the frame reception (regression inputs in fuzz/corpus/frame).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "network.h"
#include "server.h"

namespace {

std::string header(const char* bytes) { return std::string(bytes, HEADER_SIZE); }

TEST(NetworkHeader, NulBytesInsideTheHeaderAreInvalid) {
    // Each is 12 bytes followed by the NUL that safe_recv adds.
    const char* bad[] = {
        "11\0\0\0\0\0\0\0\0\0\0",   // no digit at all: once accepted as length 0
        "11    5\0\0\0\0\0",        // digits then NULs: once accepted as length 5
        "11 \0        ",            // NUL among the spaces
        "11        1\0",            // NUL in the last place
    };
    for (const char* b : bad) {
        std::string h = header(b);
        EXPECT_FALSE(is_valid(h.c_str())) << "header with NUL at " << h.find('\0');
    }
    EXPECT_TRUE(is_valid("11         5"));
    EXPECT_TRUE(is_valid("110000000012"));
    EXPECT_FALSE(is_valid("11          "));
}

TEST(NetworkHeader, SafeRecvRefusesAHeaderCutByANul) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const char wire[] = "11    5\0\0\0\0\0hello";
    ASSERT_EQ(write(sv[1], wire, sizeof(wire) - 1), static_cast<ssize_t>(sizeof(wire) - 1));
    static char buffer[TEXT_SIZE];
    char type[3];
    EXPECT_EQ(safe_recv(sv[0], type, buffer), -1);
    close(sv[0]);
    close(sv[1]);
}

}  // namespace
