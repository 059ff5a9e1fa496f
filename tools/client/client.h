// Client library: connect to a server, exchange frames, send JSON commands and read replies,
// receive binary frames. Its framing code is its own, independent of the server's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

struct iovec;

namespace bh {

struct TlsState;

struct Frame {
    std::string type;     // two digits
    std::string payload;  // raw bytes
};

class Client {
public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    Client(Client&& other) noexcept;
    Client& operator=(Client&& other) noexcept;

    // Connects over TCP (IPv4 or a host name). False with error() set on failure.
    bool connect(const std::string& host, int port, int timeout_ms = 5000);
    // Connects to the server's local (Unix-domain) socket at path. On such a connection the
    // server may pass descriptors along with a reply; they are queued for take_fd().
    bool connect_local(const std::string& path, int timeout_ms = 5000);
    // Closes the connection and any descriptor received and not taken.
    void close();
    bool connected() const { return fd_ >= 0; }
    bool local() const { return local_; }
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }

    // The oldest descriptor received and not yet taken, now the caller's to close; -1: none.
    // Descriptors not taken are closed before the next frame is sent.
    int take_fd();

    // Sends one frame: header "%2s%10zu" and the payload, in one write.
    bool send_frame(const std::string& type, const std::string& payload);
    // Sends arbitrary bytes (for malformed frames in tests).
    bool send_raw(const void* data, size_t len);
    // Sends the pieces in order, as one stream.
    bool send_parts(const struct iovec* iov, int count);

    // A frame in two steps, for a caller that puts the payload where it wants it: the header
    // (type and announced length), then exactly len payload bytes into dst.
    bool recv_header(std::string& type, uint64_t& length, int timeout_ms = 10000);
    bool recv_payload(char* dst, size_t len, int timeout_ms = 10000);

    // Receives one frame. timeout_ms < 0 waits for ever. False on close, time-out or a bad
    // header (error() tells which).
    bool recv_frame(Frame& frame, int timeout_ms = 10000);
    // Receives one frame and hands its payload to sink in pieces, without holding it whole.
    // length gets the announced payload size. sink returning false stops with failure.
    bool recv_frame_to(std::string& type, uint64_t& length,
                       const std::function<bool(const char*, size_t)>& sink,
                       int timeout_ms = 10000);

    // Sends a JSON text as a "11" command frame and returns the next frame that is not a
    // "21" message; messages that arrive meanwhile go to messages.
    bool command(const std::string& json, Frame& reply, int timeout_ms = 10000);

    // "21" frames received while waiting in command().
    std::deque<Frame> messages;

    // A descriptor (a signal's self-pipe) whose readability abandons any wait for the server:
    // the call fails with interrupted() true, possibly inside a frame. -1: none.
    void set_interrupt_fd(int fd) { interrupt_fd_ = fd; }
    bool interrupted() const { return interrupted_; }

    // Closes the connection with why as error(): for a caller that met a reply out of protocol,
    // after which the stream cannot be trusted.
    void fail(const std::string& why);
    // ---- Encryption ----
    // Called during the handshake with the server certificate's fingerprint ("SHA256:AB:...");
    // false refuses the server and ends the handshake.
    using IdentityCheck = std::function<bool(const std::string& fingerprint)>;
    // A TLS handshake as the client on this TCP connection (after the server's STARTTLS OK);
    // from then on every frame travels inside TLS. False with error() set: the connection is
    // closed.
    bool handshake(const IdentityCheck& check, int timeout_ms = 10000);
    bool encrypted() const { return tls_ != nullptr; }
    // Bytes already received and decrypted but not yet read: a poll() on fd() does not see
    // them, so a caller that polls fd() asks this first.
    bool pending() const;

private:
    bool read_exact(char* dst, size_t len, int timeout_ms);
    // One read of at most len bytes (at least one), waiting up to timeout_ms for them.
    ssize_t read_some(char* dst, size_t len, int timeout_ms);
    ssize_t read_tls(char* dst, size_t len, int timeout_ms);
    ssize_t receive(char* dst, size_t len, int flags);
    bool wait_readable(int timeout_ms);
    void drop_fds();

    int fd_ = -1;
    bool local_ = false;
    std::deque<int> fds_;  // received, not yet taken
    int interrupt_fd_ = -1;
    bool interrupted_ = false;
    std::string error_;
    std::vector<char> buffer_;  // recv_frame_to's pieces
    std::unique_ptr<TlsState> tls_;  // set once encrypted
};

// Builds a JSON command text with json-c: {"CMD": cmd, key: value, ...} (texts only).
std::string json_command(const std::string& cmd,
                         std::initializer_list<std::pair<std::string, std::string>> members = {});

// Parses a JSON object text and returns a member as text ("" when missing); integers are
// returned in decimal.
std::string json_member(const std::string& json, const std::string& key);

// ---------------------------------------------------------------------------------------------
// Listings (LIST, LISTALL): one "10" frame of at most kMaxListing bytes. A server cuts a longer
// listing at the last whole line that fits and adds no mark; every line it sends is at most
// kMaxListingLine bytes (its line buffer). A listing that was cut therefore ends within one
// longest line of the limit, and one that ends further from it is whole. A whole listing that
// happens to end that close cannot be told from a cut one, so both count as filled.
constexpr size_t kMaxListing = 65535;
constexpr size_t kMaxListingLine = 1023;

// Whether the payload of a listing filled its frame: the server may have left entries out.
bool listing_filled(const std::string& payload);

// ---------------------------------------------------------------------------------------------
// Extensions: discovery, writes and resumable downloads (client_ops.cpp).

// The extensions the server lists in FEATURES ("write", "offset"). An older server answers
// FEATURES with FAIL: the list is then empty. False only when the exchange itself failed.
bool features(Client& c, std::vector<std::string>* list);
bool has_feature(const std::vector<std::string>& list, const std::string& name);

// The outcome of a write command. done: a reply arrived (else c.error() tells why); result:
// its "RESULT"; reason: its "REASON" on FAIL ("DENIED", "EXISTS", ... or "" when none).
struct Outcome {
    bool done = false;
    std::string result;
    std::string reason;
    bool ok() const { return done && result == "OK"; }
};

// A plain-language explanation of a FAIL reason, for users.
std::string reason_text(const std::string& reason);

// Called during an upload with the bytes sent so far and the total.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Uploads size bytes read from fd (from its current offset) to the share path remote.
// replace: an existing file of that name is replaced. A source that ends early cancels the
// upload (the outcome is then the server's FAIL "CANCELLED").
Outcome put(Client& c, const std::string& remote, int fd, uint64_t size, bool replace,
            const Progress& progress = {});
Outcome make_folder(Client& c, const std::string& path);
Outcome rename_entry(Client& c, const std::string& from, const std::string& to);
Outcome delete_entry(Client& c, const std::string& path);

// SEND of a piece of piece_size bytes starting at offset (the "offset" extension when offset
// is not 0). On "OK" the "89" frame follows; read it with recv_frame or recv_frame_to.
Outcome send_at(Client& c, const std::string& file, uint64_t piece_size, uint64_t offset);

// The next frame that is not a "21" message (those go to c.messages).
bool next_reply(Client& c, Frame& reply, int timeout_ms = 10000);

// OPEN over a local connection: a read-only descriptor of the share file path, after the
// server's checks. True: fd is the caller's to close and size the file's size. False: reason
// is the server's REASON ("DENIED", "NOTFOUND", "NAME", "LOCAL"), "FAIL" when it gave none,
// "NOFD" when it said OK without a descriptor, or "" when no reply came (c.error() tells why).
bool open_file(Client& c, const std::string& path, int& fd, uint64_t& size, std::string& reason);

// ---------------------------------------------------------------------------------------------
// Listings of any size (entries.cpp): ENTRIES when the server lists "entries", else LIST or
// LISTALL (one frame, which may have been cut).

// One entry of a folder.
struct Entry {
    std::string kind;      // "DN", "DP", "DC", "FN" or "FP"
    bool folder = false;
    bool closed = false;   // DC: a folder closed to this user
    bool preview = false;  // DP, FP
    uint64_t size = 0;     // files: bytes
    uint64_t folders = 0;  // folders: the folders and files within (0, 0 when closed)
    uint64_t files = 0;
    int64_t mtime = kUnknownTime;  // seconds since the epoch
    bool writable = false;         // folders: the user may write inside; files: may replace,
                                   // rename or delete it. False when unknown (LIST).
    std::string name;              // bytes as the server sent them (commas included)
    static constexpr int64_t kUnknownTime = std::numeric_limits<int64_t>::min();
};

// What is known of a listing besides its entries.
struct ListInfo {
    bool complete = true;      // false: entries may be missing (a cut LIST, a reply out of
                               // form, more than kMaxEntries); problem says why
    bool changed = false;      // the folder changed while it was listed: entries may be
                               // missing or stale
    bool write = false;        // the user may write in the folder ...
    bool write_known = false;  // ... when the server said so (ENTRIES)
    bool used_entries = false; // the listing came from ENTRIES
    std::string problem;       // the first fault met, in words, "" when none
};

// The most entries list_entries keeps; a longer listing is read to its end and marked
// incomplete.
constexpr size_t kMaxEntries = 2000000;

// Lists the folder path (dot-names too when dots). The result is OK with entries and info, or
// FAIL with the server's reason: "DENIED" (closed to the user; LIST's CLOSED), "NOTFOUND",
// "NAME", "ERROR" (LIST's ERROR: no such folder, refused, or unreadable), or "" when the server
// refused without one (not logged in). done false: the exchange failed (c.error() tells why;
// a reply out of protocol closes the connection). An empty folder is OK with no entries.
// features: the FEATURES answer the caller already has; nullptr: asked here.
// A malformed line is skipped and makes the listing incomplete; nothing a server sends
// makes it hold more than one frame and max_entries (at most kMaxEntries) entries; the rest of
// a longer listing is read and dropped, and the listing marked incomplete.
Outcome list_entries(Client& c, const std::string& path, bool dots, std::vector<Entry>& entries,
                     ListInfo& info, const std::vector<std::string>* features = nullptr,
                     size_t max_entries = kMaxEntries);

// One line of ENTRIES (without its newline), or of LIST when the mtime and w fields are not
// there (with_times false). False when it is out of form.
bool parse_entry_line(const char* line, size_t len, bool with_times, Entry& e);
// Encrypted sessions (tls.cpp): STARTTLS after FEATURES, the server's identity pinned on first
// contact.

// "SHA256:" and the SHA-256 of a certificate's DER as uppercase hex pairs joined by ':'.
std::string fingerprint(const unsigned char* der, size_t len);

// auto: encrypt when the server offers it; require: refuse a server that does not; off: never.
enum class TlsMode { automatic, require, off };
// "auto", "require", "off"; false for anything else.
bool parse_tls_mode(const std::string& text, TlsMode& mode);

// Servers known by identity: a text file of lines "HOST:PORT SHA256:AB:...".
class KnownServers {
public:
    explicit KnownServers(std::string path) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    enum class Match { known, unknown, changed, unreadable };
    // Looks key ("HOST:PORT") up. changed: line (from 1) and recorded tell where and what the
    // file holds for it. unreadable: error says why.
    Match find(const std::string& key, const std::string& fingerprint, int& line,
               std::string& recorded, std::string& error) const;
    // Adds the line for key (the folder made 0700 and the file 0600 when missing), in one
    // append so that a reader never sees half a line.
    bool add(const std::string& key, const std::string& fingerprint, std::string& error) const;

private:
    std::string path_;
};

// $XDG_STATE_HOME/boardhub/known_servers, or ~/.local/state/boardhub/known_servers; "" when
// neither XDG_STATE_HOME nor HOME is set.
std::string default_known_servers();

// What secure() did.
struct Secured {
    enum Kind {
        plain,      // not encrypted (mode off, a local socket, or auto and no offer)
        encrypted,  // encrypted, the identity known or now recorded
        refused,    // require and the server does not offer it; the connection is closed
        changed,    // the identity differs from the recorded one; the connection is closed
        failed,     // STARTTLS or the handshake failed; the connection is closed
    } kind = failed;
    std::string fingerprint;  // the server's, once seen
    bool added = false;       // first contact: the line was added to the store
    std::string warning;      // first contact and the line could not be added: why
    int line = 0;             // changed: the line of the store that holds the old identity
    std::string recorded;     // changed: the old identity
    std::string message;      // refused, failed: what happened
};

// Upgrades a connection right after FEATURES (features: its list) and before LOGIN, as mode
// says. key names the server in the store ("HOST:PORT" as the user gave them). Nothing of the
// session's own is sent on a refusal or a changed identity.
Secured secure(Client& c, TlsMode mode, const std::vector<std::string>& features,
               const std::string& key, const KnownServers& store, int timeout_ms = 10000);

}  // namespace bh
