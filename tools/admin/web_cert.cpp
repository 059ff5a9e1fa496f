// boardhub-admin fingerprint, the web gateway's part: which certificate [web] names and its
// SHA-256 fingerprint (GnuTLS reads the PEM and hashes the DER, as a browser does).
#include "web_cert.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

struct CrtDeleter {
    void operator()(gnutls_x509_crt_int* c) const { gnutls_x509_crt_deinit(c); }
};

}  // namespace

bool pem_certificate_fingerprint(const std::string& file, std::string& fingerprint, std::string& err) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        err = file + " cannot be read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string pem = text.str();
    gnutls_x509_crt_t raw = nullptr;
    if (gnutls_x509_crt_init(&raw) < 0) {
        err = "out of memory";
        return false;
    }
    std::unique_ptr<gnutls_x509_crt_int, CrtDeleter> crt(raw);
    gnutls_datum_t data = {reinterpret_cast<unsigned char*>(pem.data()), static_cast<unsigned>(pem.size())};
    int rc = gnutls_x509_crt_import(crt.get(), &data, GNUTLS_X509_FMT_PEM);
    if (rc < 0) {
        err = file + " holds no PEM certificate (" + gnutls_strerror(rc) + ")";
        return false;
    }
    unsigned char digest[32];
    size_t size = sizeof(digest);
    rc = gnutls_x509_crt_get_fingerprint(crt.get(), GNUTLS_DIG_SHA256, digest, &size);
    if (rc < 0 || size != sizeof(digest)) {
        err = std::string("cannot hash the certificate: ") + gnutls_strerror(rc);
        return false;
    }
    fingerprint = "SHA256";
    for (unsigned char b : digest) {
        char pair[4];
        snprintf(pair, sizeof(pair), ":%02X", b);
        fingerprint += pair;
    }
    return true;
}

namespace {

using Ini = std::map<std::string, std::map<std::string, std::string>>;

// The board's INI rules: comments start in the first column with ";" or "#", "key = value".
bool read_ini(const std::string& config, Ini& ini, std::string& err) {
    std::ifstream in(config);
    if (!in) {
        err = config + " cannot be read";
        return false;
    }
    std::string line, section;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            size_t e = line.find(']');
            section = e == std::string::npos ? "" : line.substr(1, e - 1);
            continue;
        }
        size_t eq = line.find_first_of("=:");
        if (eq != std::string::npos) ini[section][trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return true;
}

std::string value(Ini& ini, const char* section, const char* key) {
    auto s = ini.find(section);
    if (s == ini.end()) return "";
    auto k = s->second.find(key);
    return k == s->second.end() ? "" : k->second;
}

}  // namespace

int print_web_fingerprint(const std::string& config) {
    Ini ini;
    std::string err;
    if (config.empty() || !read_ini(config, ini, err)) return 0;
    std::string path = value(ini, "web", "tls_cert"), fingerprint;
    if (path.empty()) return 0;
    if (!pem_certificate_fingerprint(path, fingerprint, err)) {
        fprintf(stderr, "boardhub-admin: web certificate: %s\n", err.c_str());
        return 1;
    }
    printf("web certificate %s (%s)\n", fingerprint.c_str(), path.c_str());
    return 0;
}
