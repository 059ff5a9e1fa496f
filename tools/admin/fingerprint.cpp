// "boardhub-admin fingerprint": the SHA-256 fingerprint of the server's TLS certificate, in the
// form the server logs and clients record ("SHA256:AB:CD:..."). The certificate is the one the
// server's configuration names ("tls_cert" of [server]), or <data>/tls-cert.pem.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// The value of key in [server] of an INI file as the server reads it: "key = value" lines,
// comments starting in the first column with ';' or '#'. False when the file cannot be read.
bool server_value(const std::string& path, const std::string& key, std::string* value) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line, section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        std::string t = trim(line);
        if (!t.empty() && t[0] == '[') {
            section = t.substr(1, t.find(']') == std::string::npos ? std::string::npos
                                                                   : t.find(']') - 1);
            continue;
        }
        size_t eq = t.find('=');
        if (section == "server" && eq != std::string::npos && trim(t.substr(0, eq)) == key &&
            value->empty())
            *value = trim(t.substr(eq + 1));
    }
    return true;
}

}  // namespace

// config: the server's configuration; data_dir is used when it names no certificate (or, when
// the file cannot be read and config_given is false, on its own). 0, or 1 with a message.
int print_fingerprint(const std::string& config, bool config_given, const std::string& data_dir) {
    std::string cert, data;
    bool read = server_value(config, "tls_cert", &cert) && server_value(config, "data", &data);
    if (!read && config_given) {
        fprintf(stderr, "boardhub-admin: %s cannot be read\n", config.c_str());
        return 1;
    }
    if (cert.empty()) cert = (data.empty() ? data_dir : data) + "/tls-cert.pem";
    gnutls_datum_t pem = {nullptr, 0};
    gnutls_x509_crt_t crt = nullptr;
    unsigned char digest[32];
    size_t size = sizeof(digest);
    int rc = gnutls_load_file(cert.c_str(), &pem);
    if (rc >= 0) rc = gnutls_x509_crt_init(&crt);
    if (rc >= 0) rc = gnutls_x509_crt_import(crt, &pem, GNUTLS_X509_FMT_PEM);
    if (rc >= 0) rc = gnutls_x509_crt_get_fingerprint(crt, GNUTLS_DIG_SHA256, digest, &size);
    if (crt) gnutls_x509_crt_deinit(crt);
    gnutls_free(pem.data);
    if (rc < 0 || size != sizeof(digest)) {
        fprintf(stderr, "boardhub-admin: %s: %s\n", cert.c_str(),
                rc == GNUTLS_E_FILE_ERROR ? "cannot be read (has the server started once?)"
                : rc < 0                  ? gnutls_strerror(rc)
                                          : "no SHA-256 fingerprint");
        return 1;
    }
    printf("SHA256");
    for (unsigned char c : digest) printf(":%02X", c);
    printf("\n");
    return 0;
}
