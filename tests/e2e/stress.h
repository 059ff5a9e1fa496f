// Helpers for the load, churn and fault tests: JSON commands with integer members, frames read
// past interleaved "21" messages, the server's descriptors and memory from /proc, log counts.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "harness.h"

namespace stress {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

using Value = std::variant<std::string, long long>;
// {"CMD": word, key: value, ...} serialised by json-c (members in the order given).
std::string jcmd(const std::string& word,
                 const std::vector<std::pair<std::string, Value>>& members = {});

// Receives the next frame that is not a "21" message; messages go to c.messages.
bool next_frame(bh::Client& c, bh::Frame& f, int timeout_ms = 20000);

// Connects, retrying for up to timeout_ms (the listen backlog is small).
bool connect_retry(bh::Client& c, int port, int timeout_ms = 20000);

// Number of open descriptors and resident memory (kB) of a process; -1 when unreadable.
int fd_count(pid_t pid);
long rss_kb(pid_t pid);

// Occurrences of needle in text.
size_t count_of(const std::string& text, const std::string& needle);

// Sessions that the server's console log shows started and not yet ended ("CLIENT %s (%d)"
// lines less "CLIENT CLOSE" lines). The address of a connection reset before its session
// looked is logged as 0.0.0.0, so lines are counted whatever the address.
long sessions_open(const std::string& log);

// Polls pred every 20 ms until it holds or timeout_ms passes.
bool wait_until(const std::function<bool()>& pred, int timeout_ms);

// Waits until the descriptor count of pid equals want (sessions end asynchronously).
// Returns the last count seen.
int wait_fds(pid_t pid, int want, int timeout_ms = 10000);

// Bytes of a deterministic pattern (seeded), for files whose every byte is checked.
std::string pattern(size_t size, unsigned seed);

// Options that start the server with the stand-in capture device (tests/fakes) at
// dir/video0, configured by fake_config. False when this build has no stand-in device.
bool camera_options(const std::string& dir, const std::string& fake_config,
                    e2e::ServerOptions* options);

// An integer from the environment, or fallback.
long env_long(const char* name, long fallback);

}  // namespace stress
