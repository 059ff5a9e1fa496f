// Encrypted sessions (see server_tls.h). The credentials and priorities are made once at
// start-up and shared read-only by every session; each STARTTLS makes one GnuTLS session, which
// the network unit owns from the handshake until the connection closes.
#include "server_tls.h"

#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/crypto.h>
#include <gnutls/x509.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "config.h"
#include "logger.h"
#include "network.h"
#include "server_guard.h"

TlsMode tls_mode = TlsMode::OFFER;

namespace {

const char* const DEFAULT_CERT = "tls-cert.pem";
const char* const DEFAULT_KEY = "tls-key.pem";
// TLS 1.3 and 1.2, AEAD ciphers with ECDHE only; the server's order wins.
const char* const PRIORITIES =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:"
    "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";
// The certificate made by the server is valid this long.
constexpr time_t CERT_VALIDITY = 10 * 36525 * 24 * 3600LL / 100;

// Constant after start-up.
std::string cert_path, key_path;
bool default_paths = true;
gnutls_certificate_credentials_t credentials = nullptr;
gnutls_priority_t priorities = nullptr;
// The line log_tls_identity writes.
std::string identity_line;

struct Datum {
    gnutls_datum_t d = {nullptr, 0};
    ~Datum() { gnutls_free(d.data); }
};

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Writes text to path through a new file beside it (mode), so a reader never sees half a file.
bool write_new_file(const std::string& path, const gnutls_datum_t& text, mode_t mode,
                    std::string* why) {
    std::string tmp = path + ".new";
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) {
        *why = tmp + ": " + strerror(errno);
        return false;
    }
    size_t off = 0;
    bool ok = fchmod(fd, mode) == 0;
    while (ok && off < text.size) {
        ssize_t n = write(fd, text.data + off, text.size - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else off += static_cast<size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    if (!ok) *why = tmp + ": " + strerror(errno);
    close(fd);
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        *why = path + ": " + strerror(errno);
        ok = false;
    }
    if (!ok) unlink(tmp.c_str());
    return ok;
}

// An ECDSA P-256 key and a self-signed X.509 v3 certificate for it, CN = the server's name.
bool make_identity(std::string* why) {
    gnutls_x509_privkey_t key = nullptr;
    gnutls_x509_crt_t crt = nullptr;
    Datum key_pem, crt_pem;
    unsigned char serial[16];
    time_t now = time(nullptr);
    int rc = gnutls_x509_privkey_init(&key);
    if (rc >= 0)
        rc = gnutls_x509_privkey_generate(
            key, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0);
    if (rc >= 0) rc = gnutls_x509_crt_init(&crt);
    if (rc >= 0) rc = gnutls_x509_crt_set_version(crt, 3);
    if (rc >= 0) rc = gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof(serial));
    serial[0] &= 0x7f;  // a positive number
    if (rc >= 0) rc = gnutls_x509_crt_set_serial(crt, serial, sizeof(serial));
    if (rc >= 0) rc = gnutls_x509_crt_set_activation_time(crt, now);
    if (rc >= 0) rc = gnutls_x509_crt_set_expiration_time(crt, now + CERT_VALIDITY);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, server.name,
                                           static_cast<unsigned>(strlen(server.name)));
    if (rc >= 0) rc = gnutls_x509_crt_set_key(crt, key);
    if (rc >= 0) rc = gnutls_x509_crt_set_basic_constraints(crt, 0, -1);
    if (rc >= 0) rc = gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE);
    if (rc >= 0) rc = gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0);
    if (rc >= 0)
        rc = gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN,
                                               &key_pem.d);
    if (rc >= 0) rc = gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &crt_pem.d);
    if (crt) gnutls_x509_crt_deinit(crt);
    if (key) gnutls_x509_privkey_deinit(key);
    if (rc < 0) {
        *why = std::string("the identity cannot be made: ") + gnutls_strerror(rc);
        return false;
    }
    // The key first: a certificate never stands without its key.
    return write_new_file(key_path, key_pem.d, 0600, why) &&
           write_new_file(cert_path, crt_pem.d, 0644, why);
}

// Both files there: nothing to do. Both missing at the default paths: made (*made set when
// that failed). Anything else is an error that start-up must not paper over.
bool ensure_identity(std::string* why, bool* make_failed = nullptr) {
    bool cert = exists(cert_path), key = exists(key_path);
    if (cert && key) return true;
    if (cert != key) {
        *why = "the TLS " + std::string(cert ? "key " + key_path : "certificate " + cert_path) +
               " is missing while the " +
               (cert ? "certificate " + cert_path : "key " + key_path) +
               " exists: restore it, or remove both to have a new identity made";
        return false;
    }
    if (!default_paths) {
        *why = "the TLS certificate " + cert_path + " and key " + key_path + " do not exist";
        return false;
    }
    if (make_identity(why)) return true;
    if (make_failed) *make_failed = true;
    return false;
}

void reply_with(Session* s, const char* result, const char* reason) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string(result));
    if (reason) json_object_object_add(obj, "REASON", json_object_new_string(reason));
    json_reply(s->reply.text, obj);
}

}  // namespace

void take_tls_settings() {
    std::string mode = config.get_value("server", "tls");
    size_t b = mode.find_first_not_of(" \t\r\n\v\f"), e = mode.find_last_not_of(" \t\r\n\v\f");
    mode = b == std::string::npos ? "" : mode.substr(b, e - b + 1);
    if (mode.empty() || mode == "offer") tls_mode = TlsMode::OFFER;
    else if (mode == "require") tls_mode = TlsMode::REQUIRE;
    else if (mode == "off") tls_mode = TlsMode::OFF;
    else refuse_setting("server", "tls", "offer, require or off");
    cert_path = config.get_value("server", "tls_cert");
    key_path = config.get_value("server", "tls_key");
    // Both or neither: a configured certificate with the made key (or the other way) never
    // matches.
    if (cert_path.empty() != key_path.empty())
        refuse_setting("server", cert_path.empty() ? "tls_cert" : "tls_key",
                       "set together with \"" + std::string(cert_path.empty() ? "tls_key" : "tls_cert") +
                           "\"");
    default_paths = cert_path.empty();
    if (default_paths) {
        cert_path = std::string(server.data) + "/" + DEFAULT_CERT;
        key_path = std::string(server.data) + "/" + DEFAULT_KEY;
    }
}

std::string certificate_fingerprint(const std::string& path, std::string* why) {
    Datum pem;
    int rc = gnutls_load_file(path.c_str(), &pem.d);
    gnutls_x509_crt_t crt = nullptr;
    if (rc >= 0) rc = gnutls_x509_crt_init(&crt);
    if (rc >= 0) rc = gnutls_x509_crt_import(crt, &pem.d, GNUTLS_X509_FMT_PEM);
    unsigned char digest[32];
    size_t size = sizeof(digest);
    if (rc >= 0) rc = gnutls_x509_crt_get_fingerprint(crt, GNUTLS_DIG_SHA256, digest, &size);
    if (crt) gnutls_x509_crt_deinit(crt);
    if (rc < 0 || size != sizeof(digest)) {
        *why = path + ": " + (rc < 0 ? gnutls_strerror(rc) : "no SHA-256 fingerprint");
        return "";
    }
    std::string text = "SHA256";
    char pair[4];
    for (unsigned char c : digest) {
        snprintf(pair, sizeof(pair), ":%02X", c);
        text += pair;
    }
    return text;
}

bool start_tls() {
    if (tls_mode == TlsMode::OFF) return true;
    std::string why;
    bool make_failed = false;
    if (!ensure_identity(&why, &make_failed)) {
        // Like the accounts, the identity lives in the data folder, which may be mounted later:
        // a server that only offers TLS starts without it and says so.
        if (make_failed && tls_mode == TlsMode::OFFER) {
            fprintf(stderr, "warning: TLS is not offered: %s\n", why.c_str());
            identity_line = "TLS is not offered: " + why;
            return true;
        }
        fprintf(stderr, "%s\n", why.c_str());
        return false;
    }
    std::string fingerprint = certificate_fingerprint(cert_path, &why);
    if (fingerprint.empty()) {
        fprintf(stderr, "the TLS certificate cannot be read: %s\n", why.c_str());
        return false;
    }
    int rc = gnutls_certificate_allocate_credentials(&credentials);
    if (rc >= 0)
        rc = gnutls_certificate_set_x509_key_file2(credentials, cert_path.c_str(), key_path.c_str(),
                                                   GNUTLS_X509_FMT_PEM, nullptr, 0);
    if (rc < 0) {
        fprintf(stderr, "the TLS certificate %s and key %s cannot be used: %s\n",
                cert_path.c_str(), key_path.c_str(), gnutls_strerror(rc));
        return false;
    }
    const char* where = nullptr;
    rc = gnutls_priority_init(&priorities, PRIORITIES, &where);
    if (rc < 0) {
        fprintf(stderr, "TLS priorities refused at \"%s\": %s\n", where ? where : "",
                gnutls_strerror(rc));
        return false;
    }
    identity_line = "TLS identity " + fingerprint;
    return true;
}

void log_tls_identity() {
    if (identity_line.empty()) return;
    logger.write("main", credentials ? LOG_NOTICE : LOG_WARNING, identity_line.c_str());
}

int print_identity(const char* config_path) {
    try {
        config.open(config_path);
    } catch (const std::invalid_argument& e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::string name = config.get_value("server", "name");
    std::string data = config.get_value("server", "data");
    if (!copy_text(server.name, name.c_str()) || !copy_text(server.data, data.c_str())) {
        fprintf(stderr, "configuration: \"name\" or \"data\" is too long\n");
        return 1;
    }
    take_tls_settings();
    if (default_paths && data.find_first_not_of(" \t") == std::string::npos) {
        fprintf(stderr, "configuration: \"data\" is missing or empty in [server]\n");
        return 1;
    }
    std::string why;
    std::string fingerprint;
    if (ensure_identity(&why)) fingerprint = certificate_fingerprint(cert_path, &why);
    if (fingerprint.empty()) {
        fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    printf("%s\n", fingerprint.c_str());
    return 0;
}

bool is_tls_key(const struct stat& st) {
    if (key_path.empty()) return false;
    struct stat key;
    return stat(key_path.c_str(), &key) == 0 && key.st_dev == st.st_dev && key.st_ino == st.st_ino;
}

const char* tls_key_name() { return default_paths ? DEFAULT_KEY : ""; }

bool tls_offered(const Session* s) {
    return tls_mode != TlsMode::OFF && credentials && !s->local && !tls_active(s->sock);
}

bool tls_refused(Session* s, const char* command) {
    if (tls_mode != TlsMode::REQUIRE || s->local || tls_active(s->sock)) return false;
    reply_with(s, "FAIL", "TLS");
    logger.writef("CLIENT", LOG_INFO, "%s(%d) %s refused: TLS is required", s->peer, s->slot,
                  command);
    return true;
}

int dispatch_starttls(Session* s, json_object*) {
    if (tls_mode == TlsMode::OFF || s->local || !credentials) {
        reply_with(s, "FAIL", nullptr);  // as an unknown command
        return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
    }
    if (s->logged_in || s->logged_in_once || tls_active(s->sock)) {
        reply_with(s, "FAIL", "STATE");
        return slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0 ? -1 : 0;
    }
    // From the OK on, the bytes on the connection are the handshake's: frames for this session
    // wait in its queue until the handshake is done.
    slot_hold(s->slot, true);
    reply_with(s, "OK", nullptr);
    if (slot_send_text(s->slot, TYPE_REPLY, s->reply.text) < 0) return -1;

    gnutls_session_t session = nullptr;
    int rc = gnutls_init(&session, GNUTLS_SERVER | GNUTLS_NO_TICKETS);
    if (rc >= 0) rc = gnutls_priority_set(session, priorities);
    if (rc >= 0) rc = gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials);
    if (rc < 0 || !tls_attach(s->sock, session)) {
        logger.writef("CLIENT", LOG_ERROR, "%s(%d) no TLS session: %s", s->peer, s->slot,
                      rc < 0 ? gnutls_strerror(rc) : "descriptor out of range");
        if (session) gnutls_deinit(session);
        return -1;
    }
    gnutls_certificate_server_set_request(session, GNUTLS_CERT_IGNORE);
    gnutls_handshake_set_timeout(session, 0);  // the deadline is kept by tls_handshake

    // Within frame_timeout, and within the login time-out: the handshake is not a login.
    using Clock = std::chrono::steady_clock;
    long long ms = connection_limits.frame_timeout * 1000LL;
    long long login_left =
        std::chrono::duration_cast<std::chrono::milliseconds>(s->login_deadline - Clock::now())
            .count();
    if (login_left < ms) ms = login_left > 0 ? login_left : 0;
    rc = tls_handshake(s->sock, static_cast<int>(ms));
    if (rc == RECV_TIMED_OUT) {
        log_refusal("%s(%d) TLS handshake time-out", s->peer, s->slot);
        return -1;
    }
    if (rc < 0) {
        logger.writef("CLIENT", LOG_INFO, "%s(%d) TLS handshake failed", s->peer, s->slot);
        return -1;
    }
    logger.writef("CLIENT", LOG_INFO, "%s(%d) TLS %s", s->peer, s->slot,
                  gnutls_protocol_get_name(gnutls_protocol_get_version(session)));
    slot_hold(s->slot, false);
    return 0;
}
