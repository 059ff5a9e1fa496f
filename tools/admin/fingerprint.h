// boardhub-admin fingerprint: the fingerprints a person compares with what a client shows at
// first contact, in the form browsers and "openssl x509 -fingerprint -sha256" show
// ("SHA256:AB:CD:...", the SHA-256 of the certificate's DER): the server's TLS identity and
// the web gateway's certificate.
#pragma once

#include <string>

// The SHA-256 fingerprint of the first certificate of a PEM file. False with err set when the
// file cannot be read or holds no certificate.
bool pem_certificate_fingerprint(const std::string& file, std::string& fingerprint, std::string& err);

// The gateway's certificate: tls_cert of section [web] in the configuration file config.
// 1: path and fingerprint are set; 0: none configured (plain HTTP); -1: err says why not.
int web_certificate_fingerprint(const std::string& config, std::string& path, std::string& fingerprint,
                                std::string& err);

// The command: prints the server identity's fingerprint on a line of its own (the line
// "boardhub --identity" prints), then "web certificate SHA256:... (PATH)" when [web] has one.
// Returns the exit status: 0, or 1 when a certificate cannot be read (the reason on stderr).
int fingerprint_command(const std::string& config);
