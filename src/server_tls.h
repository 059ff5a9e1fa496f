// Encrypted sessions: the "tls", "tls_cert" and "tls_key" settings, the server's identity (a
// key and a self-signed certificate made once, named by the SHA-256 fingerprint of the
// certificate) and STARTTLS, which puts a TLS session under the framing of a plain TCP
// connection (network.h). The local socket never upgrades: nothing there crosses the wire.
#pragma once

#include <sys/stat.h>

#include <string>

#include "server.h"

enum class TlsMode { OFF, OFFER, REQUIRE };
// "tls": off, offer (the default) or require. Constant after start-up.
extern TlsMode tls_mode;

// Reads "tls", "tls_cert" and "tls_key" of [server] (config loaded, server.data and
// server.name set). A value that cannot be used stops start-up (status 1).
void take_tls_settings();

// With tls on: makes the identity when the default files are both missing and loads the key
// and certificate. False (the reason on standard error) when the server cannot serve TLS as
// configured.
bool start_tls();
// Logs "TLS identity SHA256:..." at NOTICE (or why TLS is not offered, at WARNING), once the
// start banner is out.
void log_tls_identity();

// "boardhub --identity [-c CONFIG]": makes the identity when missing and prints the fingerprint
// line on standard output. The exit status.
int print_identity(const char* config_path);

// The identity's fingerprint, "SHA256:AB:CD:..."; "" with the reason in why.
std::string certificate_fingerprint(const std::string& cert_path, std::string* why);

// Whether st is the TLS key file (by device and inode): DATA and the share never serve it.
bool is_tls_key(const struct stat& st);
// The key file's name within the data folder ("" when it is configured elsewhere).
const char* tls_key_name();

// FEATURES lists "tls": a plain TCP session of a server with tls on.
bool tls_offered(const Session* s);
// tls = require: LOGIN and PASSWORD of a plain TCP session are refused before any password is
// looked at. True when the reply (FAIL, REASON TLS) is in s->reply.
bool tls_refused(Session* s, const char* command);

// STARTTLS: answers OK on the plain connection, then runs the handshake within frame_timeout
// (and the login time-out); frames for the session stay queued until it is done. -1 when the
// session must end (a failed or late handshake closes the connection).
int dispatch_starttls(Session* s, json_object* request);
