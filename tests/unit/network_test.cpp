// Framing over socketpair(): exact bytes sent, header checks before any payload byte is read,
// partial reads, a peer closing part-way, and sends to a vanished peer.
#include "network.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "server.h"

namespace {

struct Pair {
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~Pair() {
        if (fd[0] >= 0) close(fd[0]);
        if (fd[1] >= 0) close(fd[1]);
    }
    void close_peer() {
        close(fd[1]);
        fd[1] = -1;
    }
    void put(const std::string& bytes) {
        ASSERT_EQ(write(fd[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Whatever is waiting on the server side, without blocking.
    std::string leftover() {
        std::string all;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd[0], buf, sizeof(buf), MSG_DONTWAIT)) > 0) all.append(buf, static_cast<size_t>(n));
        return all;
    }
    int fd[2] = {-1, -1};  // fd[0]: the server's end, fd[1]: the peer's
};

// Reads exactly n bytes from fd.
std::string read_n(int fd, size_t n) {
    std::string s(n, '\0');
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, &s[got], n - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    s.resize(got);
    return s;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('A' + (i * 7) % 26);
    return s;
}

struct Received {
    int result;
    std::string type;
    std::string text;  // up to the terminating NUL placed by safe_recv
    std::vector<char> buffer;
};

Received receive(int sock) {
    Received r;
    r.buffer.assign(TEXT_SIZE + 16, 'X');
    char type[3] = {'?', '?', '?'};
    r.result = safe_recv(sock, type, r.buffer.data());
    if (r.result >= 0) {
        r.type.assign(type, 2);
        EXPECT_EQ(type[2], '\0');
        EXPECT_EQ(r.buffer[static_cast<size_t>(r.result)], '\0');
        r.text.assign(r.buffer.data(), static_cast<size_t>(r.result));
    }
    return r;
}

TEST(IsValid, AcceptedHeaders) {
    EXPECT_TRUE(is_valid("11        17"));
    EXPECT_TRUE(is_valid("00         0"));
    EXPECT_TRUE(is_valid("990000000012"));  // leading zeros
    EXPECT_TRUE(is_valid("209999999999"));
    EXPECT_TRUE(is_valid("12   0000042"));
}

TEST(IsValid, RefusedHeaders) {
    const char* bad[] = {
        "11          ",  // all spaces
        "1a        17",  // type not digits
        "a1        17",
        " 1        17",
        "11       +17",  // sign
        "11       -17",
        "11\t       17",  // tab
        "11       1x7",  // letter
        "11       17 ",  // space after the digits
        "11   1  7   ",
        "1117        ",
    };
    for (const char* h : bad) EXPECT_FALSE(is_valid(h)) << "'" << h << "'";
}

// A NUL inside the 12 received bytes is not a space or a digit.
TEST(IsValid, RefusesNulInsideTheHeader) {
    const char h1[13] = {'1', '1', '\0', '\0', '\0', '\0', '\0', '\0', '\0', '\0', '\0', '\0', '\0'};
    const char h2[13] = {'1', '1', ' ', ' ', '5', '\0', '\0', '\0', '\0', '\0', '\0', '\0', '\0'};
    const char h3[13] = {'1', '1', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', '\0', '7', '\0'};
    EXPECT_FALSE(is_valid(h1));
    EXPECT_FALSE(is_valid(h2));
    EXPECT_FALSE(is_valid(h3));
}

TEST(SafeRecv, ReceivesFrames) {
    Pair p;
    p.put("11        16{\"CMD\": \"HELLO\"}");
    Received r = receive(p.fd[0]);
    EXPECT_EQ(r.result, 16);
    EXPECT_EQ(r.type, "11");
    EXPECT_EQ(r.text, "{\"CMD\": \"HELLO\"}");

    p.put("200000000003abc");  // leading zeros
    r = receive(p.fd[0]);
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.type, "20");
    EXPECT_EQ(r.text, "abc");

    p.put("12         0");  // length 0: an empty text
    r = receive(p.fd[0]);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.type, "12");
    EXPECT_EQ(r.buffer[0], '\0');

    p.put(std::string("20         5ab\0cd", 17));  // a NUL in the payload: received whole
    r = receive(p.fd[0]);
    EXPECT_EQ(r.result, 5);
    EXPECT_EQ(std::string(r.buffer.data(), 5), std::string("ab\0cd", 5));
    EXPECT_STREQ(r.buffer.data(), "ab");
    EXPECT_EQ(p.leftover(), "");
}

TEST(SafeRecv, InvalidHeadersEndWithoutReadingFurther) {
    const std::string bad[] = {
        "11          ", "1a        17", "11       +17", "11\t       17",
        "11       1x7", "11       17 ", std::string("11   5\0\0\0\0\0\0", 12),
        "11     65536",  // does not fit the 65536-byte buffer with its NUL
        "119999999999",
    };
    for (const auto& h : bad) {
        Pair p;
        // A header wrongly taken for valid would wait for a payload: fail instead of hanging.
        struct timeval tv = {2, 0};
        setsockopt(p.fd[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        FdCapture err(STDERR_FILENO);
        p.put(h + "NEXT");
        Received r = receive(p.fd[0]);
        EXPECT_EQ(r.result, -1) << h;
        EXPECT_EQ(p.leftover(), "NEXT") << h;  // nothing beyond the header was read
        EXPECT_EQ(err.text(), "") << h;
    }
}

TEST(SafeRecv, LargestPayloadAndOneBytePieces) {
    Pair p;
    std::string payload = pattern(MAX_PAYLOAD);
    std::string frame = "11     65535" + payload;
    std::thread writer([&] {
        // The header a byte at a time, then the payload in uneven pieces.
        for (size_t i = 0; i < 12; i++) {
            ASSERT_EQ(write(p.fd[1], &frame[i], 1), 1);
            std::this_thread::yield();
        }
        size_t off = 12, piece = 1;
        while (off < frame.size()) {
            size_t n = std::min(piece, frame.size() - off);
            ASSERT_EQ(write(p.fd[1], &frame[off], n), static_cast<ssize_t>(n));
            off += n;
            piece = piece * 3 + 1;
        }
    });
    Received r = receive(p.fd[0]);
    writer.join();
    EXPECT_EQ(r.result, 65535);
    EXPECT_EQ(r.text, payload);
}

TEST(SafeRecv, PeerClosingMidHeaderOrMidPayload) {
    {
        Pair p;
        FdCapture err(STDERR_FILENO);
        p.put("11   ");
        p.close_peer();
        EXPECT_EQ(receive(p.fd[0]).result, -1);
        EXPECT_EQ(err.text(), "");
    }
    {
        Pair p;
        FdCapture err(STDERR_FILENO);
        p.put("11        10abcd");
        p.close_peer();
        EXPECT_EQ(receive(p.fd[0]).result, -1);
        EXPECT_EQ(err.text(), "");
    }
    {
        Pair p;
        p.close_peer();
        EXPECT_EQ(receive(p.fd[0]).result, -1);
    }
}

TEST(SafeSend, ExactBytes) {
    for (size_t len : {0, 1, 17, 1023, 1024, 1025, 3000, 65535}) {
        Pair p;
        std::string text = pattern(len);
        int sent = -2;
        std::thread sender([&] { sent = safe_send(p.fd[0], "11", text.c_str()); });
        std::string got = read_n(p.fd[1], 12 + len);
        sender.join();
        EXPECT_EQ(sent, static_cast<int>(len));
        char header[13];
        snprintf(header, sizeof(header), "11%10zu", len);
        EXPECT_EQ(got, std::string(header) + text) << len;
        EXPECT_EQ(p.leftover(), "");
    }
    Pair p;
    EXPECT_EQ(safe_send(p.fd[0], "10", ""), 0);
    EXPECT_EQ(read_n(p.fd[1], 12), "10         0");
}

TEST(SafeSend, LargeBinaryFrameSurvivesShortWrites) {
    Pair p;
    int small = 4096;
    setsockopt(p.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::string payload = pattern(3 << 20);
    payload[100] = '\0';
    int sent = -2;
    std::thread sender(
        [&] { sent = safe_send_bytes(p.fd[0], "88", payload.data(), payload.size()); });
    std::string got = read_n(p.fd[1], 12 + payload.size());
    sender.join();
    EXPECT_EQ(sent, static_cast<int>(payload.size()));
    EXPECT_EQ(got.substr(0, 12), "88   3145728");
    EXPECT_TRUE(got.compare(12, std::string::npos, payload) == 0);
}

TEST(SafeSend, VanishedPeerFailsWithoutSigpipe) {
    // Without MSG_NOSIGNAL the default SIGPIPE action would end this test process.
    Pair p;
    p.close_peer();
    FdCapture err(STDERR_FILENO);
    EXPECT_EQ(safe_send(p.fd[0], "11", "{ \"RESULT\": \"OK\" }"), -1);
    EXPECT_EQ(safe_send(p.fd[0], "10", ""), -1);
    std::string big = pattern(200000);
    EXPECT_EQ(safe_send(p.fd[0], "10", big.c_str()), -1);
    EXPECT_EQ(send_pieces(p.fd[0], "x", 1, nullptr, 0), -1);
    EXPECT_EQ(errno, EPIPE);
    // A vanished peer is an everyday event: no line per failed frame.
    EXPECT_EQ(err.text(), "");
}

}  // namespace
