// Writes to the share: FEATURES (what this server offers beyond the base protocol), PUT (an
// upload in "87" content frames into a hidden part file, flushed and renamed into place),
// MKDIR, RENAME and DELETE. Every write needs write access to the folder it changes (and no
// closed folder above it), takes no symbolic link on the way, and is logged at NOTICE.
#pragma once

#include <cstdint>

#include "server.h"

// Frame type of upload content sent by the client after PUT's go-ahead.
constexpr const char* TYPE_UPLOAD = "87";

// Part files of uploads in progress are named with this prefix in the target folder. Listings
// never show them and no write may name them.
constexpr const char* UPLOAD_PART_PREFIX = ".boardhub-part-";

// Limits of writes, set from the configuration at start-up (constant afterwards).
struct WriteLimits {
    uint64_t max_size = 4ULL << 30;  // largest upload, bytes
    uint64_t reserve = 64ULL << 20;  // free space an upload must leave on the file system
    bool sync = true;                // fsync every upload and folder change before replying
    // An upload must bring at least min_rate bytes a second over every window of rate_window
    // seconds (or all that is left), or it is cancelled; 0: no minimum rate.
    uint64_t min_rate = 64ULL << 10;
    int rate_window = 30;
};
extern WriteLimits write_limits;

// True for a name of a part file (UPLOAD_PART_PREFIX followed by anything).
bool is_upload_part(const char* name);

// Removes part files left in the share tree by an earlier run (a crash, a power cut).
// Symbolic links are not followed. Returns the number removed; each is logged at NOTICE.
int remove_stale_parts(const char* share);

// For listings: whether a write inside the share folder path (a client path; "" or "/" the
// root) passes the name rules and meets no symbolic link on the way, and whether name (one
// entry of a folder) is a name writes accept.
bool write_path_ok(const char* path);
bool write_name_ok(const char* name);

// The session loop calls these with the parsed request; -1 when the session must end.
int dispatch_features(Session* s, json_object* request);
// ACCESS: whether the user may read the folder PATH and whether a write inside it can succeed
// (the access files allow it and the server's process may write there).
int dispatch_access(Session* s, json_object* request);
int dispatch_put(Session* s, json_object* request);
int dispatch_mkdir(Session* s, json_object* request);
int dispatch_rename(Session* s, json_object* request);
int dispatch_delete(Session* s, json_object* request);
