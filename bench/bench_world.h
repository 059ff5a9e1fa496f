// The benchmark's world on disk: share, databases and server configuration.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

constexpr const char* BIG_FILE = "/big.bin";
constexpr const char* MANY_FOLDER = "/many";
constexpr const char* USER_PASSWORD = "pw";

struct WorldLayout {
    std::string dir;       // gets share/ and data/
    uint64_t big_bytes;    // size of share/big.bin
    int files;             // files in share/many
    int folders;           // sub-folders of share/many, each with access files
    int users;             // u000, u001, ... level 5, password "pw", all in group "benchers"
};

std::string user_name(int i);
// Creates or refreshes the world (the large file is kept when its size is right).
bool make_world(const WorldLayout& layout);
// Writes a server configuration for the world. camera: a device path or "NONE"; socket: the
// server's local socket, or "" for none.
bool write_config(const std::string& path, const std::string& dir, int port,
                  const std::string& camera, const std::string& socket = "");

}  // namespace bench
