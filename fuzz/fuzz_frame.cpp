// Frame reception from an arbitrary byte stream delivered in arbitrary pieces. safe_recv reads
// a socket pair that a writer thread fills piece by piece, each piece only after the reader has
// taken the previous one, so every split point the fuzzer picks is a real short read. The
// frames received must be exactly those that the header rules give for the stream.
//
// Input: byte 0 (low 4 bits) = number of split points k; the next k bytes = piece sizes - 1;
// the rest is the stream.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "network.h"
#include "server.h"

namespace {

struct Frame {
    std::string type;
    std::string payload;
};

bool digit(char c) { return c >= '0' && c <= '9'; }

// The header rules: two digits, zero or more spaces, one or more digits, nothing else, in
// exactly 12 bytes; a length over MAX_PAYLOAD is refused.
std::vector<Frame> expected_frames(const std::string& s) {
    std::vector<Frame> out;
    size_t pos = 0;
    for (;;) {
        if (s.size() - pos < HEADER_SIZE) return out;
        const char* h = s.data() + pos;
        if (!digit(h[0]) || !digit(h[1])) return out;
        size_t i = 2;
        while (i < HEADER_SIZE && h[i] == ' ') i++;
        if (i == HEADER_SIZE) return out;
        unsigned long long len = 0;
        for (; i < HEADER_SIZE; i++) {
            if (!digit(h[i])) return out;
            len = len * 10 + static_cast<unsigned>(h[i] - '0');
        }
        if (len > MAX_PAYLOAD) return out;
        if (s.size() - pos - HEADER_SIZE < len) return out;
        out.push_back({std::string(h, 2), s.substr(pos + HEADER_SIZE, len)});
        pos += HEADER_SIZE + len;
    }
}

size_t unread(int fd) {
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return static_cast<size_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t k = data[0] & 15;
    if (size < 1 + k) return 0;
    std::vector<size_t> pieces;
    for (size_t i = 0; i < k; i++) pieces.push_back(static_cast<size_t>(data[1 + i]) + 1);
    std::string stream(reinterpret_cast<const char*>(data) + 1 + k, size - 1 - k);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    std::atomic<bool> reader_done{false};
    std::thread writer([&] {
        size_t off = 0;
        size_t p = 0;
        while (off < stream.size()) {
            size_t n = p < pieces.size() ? pieces[p++] : stream.size() - off;
            if (n > stream.size() - off) n = stream.size() - off;
            if (send_pieces(sv[1], stream.data() + off, n, nullptr, 0) < 0) break;
            off += n;
            // The next piece leaves only once the reader has taken this one.
            while (!reader_done.load() && unread(sv[0]) > 0) std::this_thread::yield();
            if (reader_done.load()) break;
        }
        shutdown(sv[1], SHUT_WR);
    });

    std::vector<Frame> got;
    static char buffer[TEXT_SIZE];
    char type[3];
    for (;;) {
        memset(type, 'x', sizeof(type));
        int n = safe_recv(sv[0], type, buffer);
        if (n < 0) break;
        if (static_cast<size_t>(n) > MAX_PAYLOAD || buffer[n] != '\0' || type[2] != '\0') abort();
        got.push_back({std::string(type, 2), std::string(buffer, static_cast<size_t>(n))});
    }
    reader_done.store(true);
    close(sv[0]);  // a writer blocked on a full socket gets EPIPE
    writer.join();
    close(sv[1]);

    std::vector<Frame> want = expected_frames(stream);
    if (got.size() != want.size()) {
        fprintf(stderr, "received %zu frames, the header rules give %zu\n", got.size(),
                want.size());
        abort();
    }
    for (size_t i = 0; i < got.size(); i++) {
        if (got[i].type != want[i].type || got[i].payload != want[i].payload) {
            fprintf(stderr, "frame %zu differs\n", i);
            abort();
        }
    }
    return 0;
}
