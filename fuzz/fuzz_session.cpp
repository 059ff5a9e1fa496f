// A whole session: arbitrary frames through the real session loop and command table against a
// temporary world. client_handler runs on one end of a socket pair exactly as for an accepted
// connection; the harness writes the frames, reads and discards every reply, then closes its
// side and waits for the session to end and free its slot.
//
// Input: records separated by '\n'. A record that begins with '!' is written as it stands (raw
// bytes, bad headers included); any other record is a two-character type followed by the
// payload, sent with a correct header ("87" records are upload content after PUT). An input
// that names a write command gets a fresh share afterwards, so every input starts from the
// same tree.
//
// An input that begins with "TLS\n" runs over a TCP connection on the loopback instead (a
// session of the local socket never upgrades): the harness sends STARTTLS, and the rest of the
// input, as it stands, is what the client sends for its handshake.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "world.h"
#include "network.h"
#include "server.h"
#include "server_tls.h"

namespace {

// The server's identity, made in the world's data folder once.
void tls_world() {
    static bool ready = [] {
        take_tls_settings();
        if (!start_tls()) abort();
        return true;
    }();
    (void)ready;
}

// A connected TCP pair on the loopback: sv[0] the server's end, sv[1] the client's.
void tcp_pair(int sv[2]) {
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(l, 1) != 0 ||
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        abort();
    sv[1] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sv[1] < 0 || connect(sv[1], reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) abort();
    sv[0] = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    if (sv[0] < 0) abort();
    close(l);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzw::world();
    tls_world();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzw::world();
    std::string input(reinterpret_cast<const char*>(data), size);
    const bool tls = input.compare(0, 4, "TLS\n") == 0;
    std::string wire;
    size_t pos = 0;
    if (tls) {
        tls_world();
        char header[HEADER_SIZE + 1];
        const char* starttls = "{\"CMD\": \"STARTTLS\"}";
        form_header(header, "11", strlen(starttls));
        wire = std::string(header, HEADER_SIZE) + starttls + input.substr(4);
        pos = input.size() + 1;  // the handshake bytes are not records
    }
    while (pos <= input.size()) {
        size_t end = input.find('\n', pos);
        if (end == std::string::npos) end = input.size();
        std::string rec = input.substr(pos, end - pos);
        pos = end + 1;
        if (rec.empty()) continue;
        if (rec[0] == '!') {
            wire += rec.substr(1);
            continue;
        }
        std::string type = rec.substr(0, 2);
        if (type.size() < 2) type += "1";
        std::string payload = rec.size() > 2 ? rec.substr(2) : "";
        char header[HEADER_SIZE + 1];
        form_header(header, type.c_str(), payload.size());
        wire.append(header, HEADER_SIZE);
        wire += payload;
    }

    int sv[2];
    if (tls) tcp_pair(sv);
    else if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    std::thread session([fd = sv[0]] { client_handler(reinterpret_cast<void*>(static_cast<intptr_t>(fd))); });
    std::thread reader([fd = sv[1]] { fuzzw::drain(fd); });
    send_pieces(sv[1], wire.data(), wire.size(), nullptr, 0);
    shutdown(sv[1], SHUT_WR);
    session.join();  // the session closes sv[0] and frees its slot
    reader.join();
    close(sv[1]);

    {
        std::lock_guard<std::mutex> g(users_lock);
        for (const auto& u : users)
            if (u.in_use) abort();  // a session that ended must leave its slot free
    }
    for (const char* word : {"PUT", "MKDIR", "RENAME", "DELETE"}) {
        if (input.find(word) != std::string::npos) {
            fuzzw::reset_share();
            break;
        }
    }
    return 0;
}
