// boardhub-web: serves the board to browsers. Reads the [web] section of the configuration,
// starts the gateway and runs until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "version.h"
#include "web.h"

namespace {

const char* const USAGE =
    "usage: boardhub-web [CONFIG]\n"
    "Serves the board's shared folders, people and camera to web browsers, speaking to the\n"
    "boardhub server as a client. CONFIG is the board's configuration file (default\n"
    "/etc/boardhub/boardhub.ini); the gateway reads its section [web] and the server's port.\n"
    "  -h, --help     this text\n"
    "  --version      the version\n";

}  // namespace

int main(int argc, char** argv) {
    std::string config = "/etc/boardhub/boardhub.ini";
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            fputs(USAGE, stdout);
            return 0;
        }
        if (!strcmp(argv[i], "--version")) {
            printf("boardhub-web %s\n", BOARDHUB_VERSION);
            return 0;
        }
        if (argv[i][0] == '-' || i != argc - 1) {
            fputs(USAGE, stderr);
            return 2;
        }
        config = argv[i];
    }
    web::Settings settings;
    std::string err;
    if (!web::load_settings(config, settings, err)) {
        fprintf(stderr, "boardhub-web: %s\n", err.c_str());
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    // Every thread started from here on leaves the two signals to sigwait below.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    web::Gateway gateway(settings);
    if (!gateway.load_pages(err)) {
        fprintf(stderr, "boardhub-web: %s\n", err.c_str());
        return 1;
    }
    gateway.start();
    web::HttpServer http(gateway, settings);
    if (!http.start(err)) {
        fprintf(stderr, "boardhub-web: %s\n", err.c_str());
        return 1;
    }
    web::log_line("SYSTEM", "WEB",
                  std::string("listening on ") + settings.listen + " port " +
                      std::to_string(http.port()) + (settings.tls_cert.empty() ? " (HTTP)" : " (HTTPS)") +
                      (settings.redirect_port ? ", plain HTTP on port " + std::to_string(settings.redirect_port) +
                                                    " redirected there"
                                              : "") +
                      ", server " + settings.server_host + ":" + std::to_string(settings.server_port) +
                      (settings.server_socket.empty() ? "" : " or " + settings.server_socket));
    int sig = 0;
    sigwait(&stop, &sig);
    web::log_line("SYSTEM", "WEB", "stopping");
    gateway.closing();
    http.stop();
    gateway.stop();
    return 0;
}
