// Test helper: redirects a descriptor (standard output or error) into a temporary file.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

class FdCapture {
public:
    explicit FdCapture(int fd) : fd_(fd) {
        char tmpl[] = "/tmp/boardhub-capture-XXXXXX";
        int tmp = mkstemp(tmpl);
        path_ = tmpl;
        fflush(stdout);
        fflush(stderr);
        saved_ = dup(fd_);
        dup2(tmp, fd_);
        close(tmp);
    }
    ~FdCapture() { text(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Restores the descriptor (first call) and returns what was written meanwhile.
    std::string text() {
        if (saved_ >= 0) {
            fflush(stdout);
            fflush(stderr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
            std::ifstream f(path_, std::ios::binary);
            std::stringstream ss;
            ss << f.rdbuf();
            captured_ = ss.str();
            unlink(path_.c_str());
        }
        return captured_;
    }

private:
    int fd_;
    int saved_ = -1;
    std::string path_;
    std::string captured_;
};
