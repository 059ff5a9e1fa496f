// boardhub-cli: the command-line client. One connection per invocation (or per shell), logged in
// when a user is given, then one command (or a shell of them) over the wire protocol.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "client.h"

namespace cli {

// Exit statuses, documented in --help; scripts rely on them.
enum Exit {
    kOk = 0,
    kRefused = 1,     // the server answered FAIL, NONE, CLOSED or ERROR
    kUsage = 2,       // wrong command line
    kConnection = 3,  // cannot connect, connection lost, or a reply out of protocol
    kLogin = 4,       // login refused (100, 200, 900)
    kLocal = 5,       // a local file cannot be written
    kInterrupted = 130,
};

constexpr const char* kProtocolVersion = "3.0.0";
constexpr size_t kMaxPiece = 65536;   // the server's reply buffer
constexpr size_t kMaxPassword = 31;   // the server's password field holds 31 bytes
constexpr size_t kMaxName = 63;

struct Options {
    std::string host = "127.0.0.1";
    int port = 8000;
    std::string user;
    size_t piece = kMaxPiece;
    bool progress = true;
};

// One entry line of a listing.
struct Entry {
    bool folder = false;
    bool closed = false;
    bool preview = false;
    uint64_t folders = 0;  // folders: the counts; files: unused
    uint64_t size = 0;     // files: the size; folders: the file count
    std::string name;
};

// A listing reply: the entries, or one of the status words "CLOSED", "ERROR", "NONE".
struct Listing {
    std::string status;  // empty when entries were sent
    std::vector<Entry> entries;
};

// Parses the "10" text of LIST/LISTALL. False when a line is not of the five kinds.
bool parse_listing(const std::string& text, Listing& out);
// Folders first, then files; each by name.
void sort_listing(std::vector<Entry>& entries);
std::string human_size(uint64_t bytes);
// "/a/b" form: leading "/", no trailing or doubled "/"; "" and "/" give "/".
std::string normalise_path(const std::string& path);

// YUYV (4:2:2, two bytes per pixel) to RGB, then PNG. False with err set on failure.
bool write_yuyv_png(const std::string& path, const unsigned char* yuyv, int width, int height,
                    std::string& err);

class Progress;

class Session {
public:
    explicit Session(const Options& options) : opt_(options) {}

    int connect();
    // LOGIN as opt_.user with a password from BOARDHUB_PASSWORD or a prompt.
    int login(bool verbose);
    // Runs one command given as words; the result is an exit status.
    int run(const std::vector<std::string>& args);
    // The interactive shell: commands read from standard input until end of input or "quit",
    // after a login when login_first.
    int shell(bool login_first);

    bool logged_in() const { return logged_in_; }

private:
    int cmd_hello();
    int cmd_login(const std::vector<std::string>& args);
    int cmd_who();
    int cmd_id();
    int cmd_ls(const std::vector<std::string>& args);
    int cmd_get(const std::vector<std::string>& args);
    int cmd_check(const std::vector<std::string>& args);
    int cmd_msg(const std::vector<std::string>& args);
    int cmd_notice(const std::vector<std::string>& args);
    int cmd_passwd();
    int cmd_caminfo();
    int cmd_snap(const std::vector<std::string>& args);
    int cmd_listen();

    // Sends a command and reads its reply; messages arriving meanwhile are printed.
    // kOk, or kConnection with a message printed.
    int request(json_object* command, bh::Frame& reply);
    // Reads the next frame that is not a "21" message into a sink (binary transfers).
    int receive_data(const std::string& want_type, uint64_t want_length, int fd,
                     std::vector<unsigned char>* memory, const std::string& what,
                     uint64_t done_before, Progress* progress);
    int list(const std::string& path, bool all, Listing& out);
    void print_messages();
    void print_message(const std::string& json);
    int lost(const std::string& what);
    // A password: from the terminal, standard input, or the shell's own input.
    bool secret(const char* prompt, std::string& out);

    Options opt_;
    bh::Client client_;
    bool connected_ = false;
    bool logged_in_ = false;
    bool in_shell_ = false;
    bool listening_ = false;
    std::string shell_input_;  // read ahead by the shell, not yet used
    std::string password_;
    std::string notice_;
    int level_ = 0;
};

}  // namespace cli
