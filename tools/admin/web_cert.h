// boardhub-admin fingerprint, the web gateway's part: the fingerprint of the certificate that
// [web] names, in the form browsers and "openssl x509 -fingerprint -sha256" show, so that a
// person can compare it with what a browser's warning about a self-signed certificate names.
#pragma once

#include <string>

// The SHA-256 fingerprint of the first certificate of a PEM file, "SHA256:AB:CD:...". False
// with err set when the file cannot be read or holds no certificate.
bool pem_certificate_fingerprint(const std::string& file, std::string& fingerprint, std::string& err);

// Prints "web certificate SHA256:... (FILE)" when tls_cert of [web] in config names a
// certificate; nothing when config is empty or unreadable, or names none (plain HTTP).
// 0, or 1 when the certificate cannot be read (the reason on standard error).
int print_web_fingerprint(const std::string& config);
