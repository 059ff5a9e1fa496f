// Encrypted sessions, the client's part: STARTTLS and the handshake after FEATURES, and the
// servers' identities pinned on first contact in a known-servers file, as SSH clients keep
// known hosts. The framing below the upgrade is client.cpp's.
#include <fcntl.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client.h"

namespace bh {

namespace {

constexpr const char* kStartTls = "{\"CMD\": \"STARTTLS\"}";
constexpr const char* kStoreName = "/boardhub/known_servers";

// mkdir -p with mode for the folders it makes.
bool make_folders(const std::string& path, mode_t mode, std::string& error) {
    for (size_t at = 1; at <= path.size(); at++) {
        if (at != path.size() && path[at] != '/') continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            error = "cannot make " + part + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string fingerprint(const unsigned char* der, size_t len) {
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, der, len, digest) != 0) return "";
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "SHA256:";
    for (size_t i = 0; i < sizeof(digest); i++) {
        if (i) out += ':';
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

bool parse_tls_mode(const std::string& text, TlsMode& mode) {
    if (text == "auto") mode = TlsMode::automatic;
    else if (text == "require") mode = TlsMode::require;
    else if (text == "off") mode = TlsMode::off;
    else return false;
    return true;
}

std::string default_known_servers() {
    if (const char* x = getenv("XDG_STATE_HOME"); x && *x == '/') return x + std::string(kStoreName);
    if (const char* h = getenv("HOME"); h && *h)
        return h + std::string("/.local/state") + kStoreName;
    return "";
}

KnownServers::Match KnownServers::find(const std::string& key, const std::string& fingerprint,
                                       int& line, std::string& recorded,
                                       std::string& error) const {
    std::unique_ptr<FILE, int (*)(FILE*)> in(fopen(path_.c_str(), "re"), fclose);
    if (!in) {
        if (errno == ENOENT) return Match::unknown;
        error = "cannot read " + path_ + ": " + strerror(errno);
        return Match::unreadable;
    }
    std::string text;
    int number = 0;
    Match found = Match::unknown;
    char* buf = nullptr;
    size_t cap = 0;
    std::unique_ptr<char*, void (*)(char**)> owner(&buf, [](char** p) { free(*p); });
    for (ssize_t got; (got = getline(&buf, &cap, in.get())) >= 0;) {
        text.assign(buf, static_cast<size_t>(got));
        if (!text.empty() && text.back() == '\n') text.pop_back();
        number++;
        size_t space = text.find(' ');
        if (text.empty() || text[0] == '#' || space == std::string::npos) continue;
        if (text.compare(0, space, key) != 0 || space != key.size()) continue;
        std::string fp = text.substr(space + 1);
        while (!fp.empty() && (fp.back() == ' ' || fp.back() == '\r')) fp.pop_back();
        if (fp == fingerprint) return Match::known;
        // The first differing line is the one to name; a later matching one still counts.
        if (found == Match::unknown) {
            found = Match::changed;
            line = number;
            recorded = fp;
        }
    }
    if (ferror(in.get())) {
        error = "cannot read " + path_ + ": " + strerror(errno);
        return Match::unreadable;
    }
    return found;
}

bool KnownServers::add(const std::string& key, const std::string& fingerprint,
                       std::string& error) const {
    size_t slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0 && !make_folders(path_.substr(0, slash), 0700, error))
        return false;
    int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        error = "cannot write " + path_ + ": " + strerror(errno);
        return false;
    }
    std::string text = key + " " + fingerprint + "\n";
    // A last line without its newline (edited by hand) must not swallow the new one.
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        int r = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (r >= 0) {
            if (pread(r, &last, 1, st.st_size - 1) != 1) last = '\n';
            ::close(r);
        }
    }
    if (last != '\n') text = "\n" + text;
    ssize_t n = write(fd, text.data(), text.size());
    bool ok = n == static_cast<ssize_t>(text.size());
    if (!ok) error = "cannot write " + path_ + ": " + (n < 0 ? strerror(errno) : "short write");
    if (::close(fd) != 0 && ok) {
        error = "cannot write " + path_ + ": " + strerror(errno);
        ok = false;
    }
    return ok;
}

Secured secure(Client& c, TlsMode mode, const std::vector<std::string>& features,
               const std::string& key, const KnownServers& store, int timeout_ms) {
    Secured s;
    s.kind = Secured::plain;
    // Nothing crosses a wire on the local socket.
    if (mode == TlsMode::off || c.local()) return s;
    if (!has_feature(features, "tls")) {
        if (mode == TlsMode::automatic) return s;
        s.kind = Secured::refused;
        s.message = "the server does not offer encryption (tls mode is require)";
        c.close();
        return s;
    }
    Frame reply;
    if (!c.command(kStartTls, reply, timeout_ms)) {
        s.kind = Secured::failed;
        s.message = c.error();
        c.close();
        return s;
    }
    if (reply.type != "11" || json_member(reply.payload, "RESULT") != "OK") {
        // The server said no and the session stays plain and usable.
        if (mode == TlsMode::automatic) return s;
        s.kind = Secured::refused;
        s.message = "the server refused STARTTLS (" + json_member(reply.payload, "REASON") + ")";
        c.close();
        return s;
    }
    KnownServers::Match match = KnownServers::Match::unknown;
    std::string store_error;
    bool checked = c.handshake(
        [&](const std::string& fp) {
            s.fingerprint = fp;
            match = store.find(key, fp, s.line, s.recorded, store_error);
            return match == KnownServers::Match::known || match == KnownServers::Match::unknown;
        },
        timeout_ms);
    if (!checked) {
        if (match == KnownServers::Match::changed) {
            s.kind = Secured::changed;
        } else if (match == KnownServers::Match::unreadable) {
            s.kind = Secured::failed;
            s.message = "cannot check the server's identity: " + store_error;
        } else {
            s.kind = Secured::failed;
            s.message = c.error();
        }
        return s;
    }
    s.kind = Secured::encrypted;
    if (match == KnownServers::Match::unknown) {
        s.added = store.add(key, s.fingerprint, s.warning);
    }
    return s;
}

}  // namespace bh
