// boardhub-cli: the command-line client. One connection per invocation (or per shell), logged in
// when a user is given, then one command (or a shell of them) over the wire protocol.
#pragma once

#include <json-c/json.h>

#include <chrono>
#include <cstdint>
#include <map>
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
    kIncomplete = 6,  // get -r met a listing that may lack entries (cut, or changed meanwhile)
    kInterrupted = 130,
};

constexpr const char* kProtocolVersion = "3.0.0";
constexpr size_t kMaxPiece = 65536;   // the server's reply buffer
constexpr size_t kMaxPassword = 31;   // the server's password field holds 31 bytes
constexpr size_t kMaxName = 63;
constexpr int kMaxTreeDepth = 64;     // get -r goes no deeper (a server may loop through links)

struct Options {
    std::string host = "127.0.0.1";
    int port = 8000;
    std::string user;
    size_t piece = kMaxPiece;
    bool progress = true;
    bh::TlsMode tls = bh::TlsMode::automatic;  // --tls, BOARDHUB_TLS
};

// One entry of a listing (the client library's: kind, counts, size, time, write mark, name).
using Entry = bh::Entry;

// A listing reply: the entries, or one of the status words "CLOSED", "ERROR".
struct Listing {
    std::string status;  // empty when the folder was listed
    std::vector<Entry> entries;
    bool filled = false;  // entries may be missing (a cut or malformed listing); info.problem
    bh::ListInfo info;
};

// Folders first, then files; each by name.
void sort_listing(std::vector<Entry>& entries);
// ls -l's orders: by time (newest first) or size (largest first), ties by name; folders first
// unless by_time or by_size; reverse turns the whole order round.
enum class SortKey { name, time, size };
void sort_entries(std::vector<Entry>& entries, SortKey key, bool reverse);
// An entry's time as "2026-12-08 21:55" in local time; "-" when unknown.
std::string entry_time(int64_t mtime);
// fnmatch(3) pattern characters (*, ?, [) in text.
bool has_wildcard(const std::string& text);
std::string human_size(uint64_t bytes);
// "/a/b" form: leading "/", no trailing or doubled "/"; "" and "/" give "/".
std::string normalise_path(const std::string& path);
// A path typed by the user, taken relative to the current remote folder cwd; "." and ".."
// segments are resolved here ("/.." stays "/"). The result is in normalise_path form.
std::string resolve_path(const std::string& cwd, const std::string& path);
// Whether a name from a listing can safely become one local path segment.
bool safe_local_name(const std::string& name);

// ---- terminal (terminal.cpp) ----

// Server text made safe for a terminal: control bytes (C0, DEL, C1), the characters that
// reorder or hide text (bidirectional controls U+202A..U+202E, U+2066..U+2069, U+200E, U+200F,
// U+061C; U+200B, U+FEFF, U+2028, U+2029) and bytes that are not UTF-8 become \xHH, one per
// byte; other valid UTF-8 (Korean included) is kept.
std::string printable(const std::string& text);
// A name as printable shows it, except that a name of nothing but blanks or invisible
// characters (" ", U+3000, U+200D...) is shown whole as \xHH bytes.
std::string printable_name(const std::string& text);
// Columns taken by UTF-8 text on a terminal (wide characters count two).
size_t display_width(const std::string& text);
// The longest prefix of text that fits in cols columns, cut on a character boundary.
std::string fit_width(const std::string& text, size_t cols);
// The width of the terminal on fd, or 0 when fd is no terminal.
int terminal_width(int fd);

// Signals. One-shot mode: SIGINT/SIGTERM/SIGHUP remove the download in progress (temp_path)
// and exit 130. Shell mode: SIGINT only raises a flag and wakes wake_fd(), so the running
// command stops and the shell returns to its prompt. SIGWINCH always raises the resize flag.
void watch_signals(bool shell);
int wake_fd();           // readable after an interrupt or a resize (shell mode)
void drain_wake();       // empties wake_fd()
bool interrupted();      // an interrupt arrived since clear_interrupt()
void clear_interrupt();
bool take_resize();      // a resize arrived since the last call
void set_temp_path(const char* path);  // nullptr: no download in progress
void set_progress_shown(bool shown);   // an unfinished progress line is on the terminal
void clear_progress_line();            // wipes it for other output; the next update redraws
void restore_terminal_on_exit(int fd); // the terminal mode to put back if a signal ends us

// A progress line on standard error: name, bytes, percentage, bar, rate and time left, fitted
// to the terminal's width (re-read after a resize). Nothing when disabled or not a terminal.
class Progress {
public:
    Progress(bool enabled, const std::string& name, uint64_t total);
    ~Progress();
    void update(uint64_t done, bool final = false);
    bool complete(uint64_t done) const { return done >= total_; }
    // Ends the line (interrupt or failure), so the next output starts on a line of its own.
    void abandon();
    // The line for a terminal of width cols (public for the width rules).
    static std::string render(const std::string& name, uint64_t done, uint64_t total,
                              double rate, double elapsed, bool final, int cols);

private:
    bool on_;
    std::string name_;
    uint64_t total_;
    int cols_ = 0;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

// YUYV (4:2:2, two bytes per pixel) to RGB, then PNG. False with err set on failure.
bool write_yuyv_png(const std::string& path, const unsigned char* yuyv, int width, int height,
                    std::string& err);

class Session;

// One command of the client, in one table that drives one-shot use, the shell, help and
// completion. Adding a command is one row here and one member function.
struct Command {
    const char* name;
    int (Session::*run)(const std::vector<std::string>& args);  // args[0] is the name
    const char* usage;    // "ls [-a] [PATH]"
    const char* summary;  // lines of help; "\n" starts a continuation line
    // What each argument completes to in the shell: 'r' remote path, 'l' local path, 'u' user
    // name, 'c' command name, '-' nothing. The last letter repeats for further arguments.
    const char* complete;
    unsigned flags;
};
enum CommandFlags : unsigned {
    kShellOnly = 1,     // cd, pwd, the local commands, help, quit: meaningless in a one-shot run
    kNoConnection = 2,  // runs without a connection (help, pwd, the local commands, quit)
};
const std::vector<Command>& command_table();
const Command* find_command(const std::string& name);
// The command list of --help and the shell's help.
std::string commands_help();

// A command's options. "--" ends them; "-" alone is an operand (standard output).
struct OptionDef {
    const char* short_name;  // "-a" or nullptr
    const char* long_name;   // "--all"
    bool value;              // takes the next argument
};
struct ParsedArgs {
    std::map<std::string, std::string> options;  // by long name
    std::vector<std::string> operands;
    bool has(const char* long_name) const { return options.count(long_name) != 0; }
};

class Session {
public:
    explicit Session(const Options& options) : opt_(options) {}

    int connect();
    // LOGIN as opt_.user with a password from BOARDHUB_PASSWORD or a prompt.
    int login(bool verbose);
    // Runs one command given as words; the result is an exit status.
    int run(const std::vector<std::string>& args);
    // The interactive shell (a terminal) or a batch of commands (a pipe), after a login when
    // login_first.
    int shell(bool login_first);

    bool logged_in() const { return logged_in_; }

    // The commands (command_table() points here).
    int cmd_hello(const std::vector<std::string>& args);
    int cmd_login(const std::vector<std::string>& args);
    int cmd_who(const std::vector<std::string>& args);
    int cmd_id(const std::vector<std::string>& args);
    int cmd_ls(const std::vector<std::string>& args);
    int cmd_get(const std::vector<std::string>& args);
    int cmd_put(const std::vector<std::string>& args);
    int cmd_mkdir(const std::vector<std::string>& args);
    int cmd_mv(const std::vector<std::string>& args);
    int cmd_rm(const std::vector<std::string>& args);
    int cmd_check(const std::vector<std::string>& args);
    int cmd_msg(const std::vector<std::string>& args);
    int cmd_notice(const std::vector<std::string>& args);
    int cmd_passwd(const std::vector<std::string>& args);
    int cmd_caminfo(const std::vector<std::string>& args);
    int cmd_snap(const std::vector<std::string>& args);
    int cmd_listen(const std::vector<std::string>& args);
    int cmd_cd(const std::vector<std::string>& args);
    int cmd_pwd(const std::vector<std::string>& args);
    int cmd_lcd(const std::vector<std::string>& args);
    int cmd_lls(const std::vector<std::string>& args);
    int cmd_lpwd(const std::vector<std::string>& args);
    int cmd_local(const std::vector<std::string>& args);
    int cmd_clear(const std::vector<std::string>& args);
    int cmd_help(const std::vector<std::string>& args);
    int cmd_quit(const std::vector<std::string>& args);

    // ---- used by the shell's line editor (shell.cpp) ----
    // Names in the remote folder dir for completion (folders end in "/"); cached briefly.
    std::vector<std::string> remote_names(const std::string& dir, bool dot_names);
    std::vector<std::string> user_names();
    // Reads the frames that have arrived at the prompt and prints their messages.
    void poll_messages();
    const std::string& cwd() const { return cwd_; }
    std::string prompt() const;
    int socket() const { return connected_ ? client_.fd() : -1; }
    // Frames already received and decrypted, which a poll() on socket() does not see.
    bool pending() const { return connected_ && client_.pending(); }
    bool replaced() const { return replaced_; }
    // The exit status of a shell whose session the server ended.
    int replaced_status() const { return account_ended_.empty() ? kRefused : kLogin; }
    bool has_messages() const { return !client_.messages.empty(); }

private:
    // Parses args[1..] against the options; on an unknown option or a missing value prints one line
    // with the usage as hint and returns false.
    bool parse_args(const std::vector<std::string>& args,
                    std::initializer_list<OptionDef> options, ParsedArgs& out);
    int usage_error(const char* problem = nullptr);
    std::string remote(const std::string& typed) const { return resolve_path(cwd_, typed); }

    // Sends a command and reads its reply; messages arriving meanwhile are printed.
    // kOk, kInterrupted, or kConnection with a message printed.
    int request(json_object* command, bh::Frame& reply);
    // Reads the next frame that is not a "21" message into fd (binary transfers).
    int receive_data(const std::string& want_type, uint64_t want_length, int fd,
                     uint64_t done_before, Progress* progress);
    // A folder's listing: kOk with out filled (out.status "CLOSED" or "ERROR" when the folder
    // cannot be listed), or a printed failure.
    int list(const std::string& path, bool all, Listing& out);
    // A typed remote path as the paths it names: itself, or when its last part holds a
    // wildcard (*, ?, [...]), the entries of its folder that match it (fnmatch; a leading dot
    // only when the pattern has one), in name order, each with its entry (known true).
    // kOk with at least one, else a printed failure ("no match": kRefused).
    struct Match {
        std::string path;
        Entry entry;
        bool known = false;
    };
    // partial: set when the folder's listing may lack entries (so may the matches).
    int expand(const std::string& typed, std::vector<Match>& out, bool* partial = nullptr);
    // rm -r: the contents of a folder depth-first, then the folder; stops at the first refusal.
    int remove_tree(const std::string& path, int depth);
    // A yes/no question on the terminal; true only for an answer starting with y.
    bool confirm(const std::string& question);
    // The server's FEATURES, asked once per connection.
    int server_features(const std::vector<std::string>*& out);
    // One file to a local path ("-": standard output). Existing files are kept unless force.
    int download(const std::string& remote_path, const std::string& local, bool whole,
                 size_t piece, bool force, const Entry* known, const std::string& shown);
    int download_tree(const std::string& remote_path, const std::string& local, bool whole,
                      size_t piece, bool force, int depth, int& skipped);
    // Writes (upload.cpp). need_extension: kOk when FEATURES lists name, else a printed
    // "this server does not offer ..." and kRefused.
    int need_extension(const char* name, const char* what);
    int write_outcome(const bh::Outcome& o, const std::string& path);
    int upload(const std::string& local, const std::string& remote_path, bool force);
    int upload_tree(const std::string& local, const std::string& remote_path, bool force,
                    int depth);
    // Looks a remote path up in its folder's listing. kOk with entry filled, or a printed
    // refusal (closed folder, no such file).
    int lookup(const std::string& remote_path, Entry& entry);
    void print_messages();
    void print_message(const std::string& json);
    int lost(const std::string& what);
    // After connecting: encryption as opt_.tls says, the server's identity checked against
    // the known servers. kOk, or kConnection with a message printed (nothing sent).
    int secure();
    // Words for a FAIL: "the server refused the request", or after a refused login why the
    // session is not logged in ("not logged in: account suspended").
    std::string refusal() const;
    int interrupted_command();
    // After an interrupt that left a reply half read: a new connection, logged in again.
    int resync();
    // A password: from the terminal, standard input, or the shell's own input.
    bool secret(const char* prompt, std::string& out);
    // Lines of a piped shell: one line of the input read ahead. False at end of input.
    bool next_input_line(std::string& line);
    int shell_interactive();
    int shell_batch();
    bool ready_for(const Command* c);

    Options opt_;
    bh::Client client_;
    bool connected_ = false;
    bool logged_in_ = false;
    bool in_shell_ = false;
    bool listening_ = false;
    bool replaced_ = false;     // another login, or the account's end, took the session over
    std::string account_ended_; // "account suspended" or "deleted": the server said so (1001)
    std::string login_refused_; // why the last login was refused ("account suspended"), if it was
    bool out_of_sync_ = false;  // an interrupt left a reply half read
    bool quit_ = false;
    bool resume_ = false;       // get --continue: keep and extend ".NAME.part"
    int cut_listings_ = 0;      // get -r: folders whose listing may lack entries
    int changed_listings_ = 0;  // get -r: folders that changed while they were listed
    std::vector<std::string> features_;
    bool features_known_ = false;
    bool had_login_ = false;    // logged in once: a new connection logs in again
    int input_line_ = 0;        // lines of a piped shell read so far
    std::string word_;          // the command being run, for error texts
    std::string cwd_ = "/";
    std::string shell_input_;   // read ahead by a piped shell, not yet used
    std::string password_;
    std::string notice_;
    int level_ = 0;
    // Completion listings: folder -> (when, names).
    std::map<std::string, std::pair<std::chrono::steady_clock::time_point,
                                    std::vector<std::string>>> name_cache_;
};

}  // namespace cli
