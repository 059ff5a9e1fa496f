// What the harnesses share: a temporary world (share tree with access files, links and a FIFO,
// real SQLite databases, a log folder whose day files lead to /dev/null) made once per process
// and wired into the server's globals, and a socket pair helper.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzw {

// Makes the world on first call and points server, admin and logger at it. Returns its root.
const std::string& world();

void write_file(const std::string& path, const std::string& content);
// Runs SQL on the database at path (created when missing); aborts on failure.
void sql(const std::string& db, const std::string& statement);

// Removes the share tree and makes it again as it was at the start.
void reset_share();

// Reads everything from fd until end of file or error, discarding it; returns the byte count.
size_t drain(int fd);

}  // namespace fuzzw
