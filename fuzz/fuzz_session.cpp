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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzw::world();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzw::world();
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string wire;
    size_t pos = 0;
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
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
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
