// The command table: every command of the client with its usage, help and completion, and the
// option parser the commands share.
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace cli {

const std::vector<Command>& command_table() {
    static const std::vector<Command> table = {
        {"hello", &Session::cmd_hello, "hello", "server name and protocol version (no login needed)",
         "-", 0},
        {"login", &Session::cmd_login, "login [USER]",
         "log in (again, or as another user) and show the level and the notice", "u", 0},
        {"who", &Session::cmd_who, "who", "users connected now", "-", 0},
        {"id", &Session::cmd_id, "id", "this session's user, level and login time", "-", 0},
        {"ls", &Session::cmd_ls, "ls [-a] [-l] [-t|-S] [-r] [PATH]",
         "list a folder, or show one file; -a shows dot-names too; -l shows kind, size in\n"
         "bytes, time (local, YYYY-MM-DD HH:MM) and name; order: by name, folders first;\n"
         "-t newest first, -S largest first (both mix folders in, as size 0); -r reverses.\n"
         "[preview] marks an entry with a preview image on the server. A listing that may\n"
         "lack entries (cut, or the folder changed meanwhile) is shown with a warning", "r", 0},
        {"cd", &Session::cmd_cd, "cd [PATH]",
         "change the current remote folder (every remote path is relative to it)", "r",
         kShellOnly},
        {"pwd", &Session::cmd_pwd, "pwd", "show the current remote and local folders", "-",
         kShellOnly | kNoConnection},
        {"lcd", &Session::cmd_lcd, "lcd [PATH]", "change the local folder (default: home)", "l",
         kShellOnly | kNoConnection},
        {"lpwd", &Session::cmd_lpwd, "lpwd", "show the local folder", "-",
         kShellOnly | kNoConnection},
        {"lls", &Session::cmd_lls, "lls [LS-OPTIONS] [PATH...]",
         "list local files (runs ls in the local folder)", "l", kShellOnly | kNoConnection},
        {"!", &Session::cmd_local, "!COMMAND",
         "run COMMAND in a local shell ($SHELL, else /bin/sh); '!' alone starts one", "l",
         kShellOnly | kNoConnection},
        {"clear", &Session::cmd_clear, "clear", "clear the screen (also Ctrl-L)", "-",
         kShellOnly | kNoConnection},
        {"get", &Session::cmd_get,
         "get [-f] [-r] [-c] [--whole] [--piece BYTES] REMOTE... [LOCAL]",
         "download files (several: LOCAL is a folder), in pieces (default 65536 bytes) or\n"
         "whole; -r downloads folders, skipping closed ones; LOCAL '-' writes to standard\n"
         "output; an existing file is kept unless -f; a file appears under its name only\n"
         "once complete; -c (--continue) keeps a cut download as .NAME.part and continues it;\n"
         "a wildcard (*, ?, [...]) in the last part of REMOTE (quoted) matches names in its\n"
         "folder; a folder whose listing may lack entries (cut, or changed while copied) is\n"
         "copied as listed, status 6",
         "r", 0},
        {"put", &Session::cmd_put, "put [-f] [-r] LOCAL [REMOTE]",
         "upload a file (into REMOTE when it is a folder); -r uploads a folder; an existing\n"
         "file on the server is kept unless -f; the server shows it only once complete;\n"
         "a wildcard in LOCAL uploads every match into the folder REMOTE",
         "lr", 0},
        {"mkdir", &Session::cmd_mkdir, "mkdir PATH...", "make folders on the server", "r", 0},
        {"mv", &Session::cmd_mv, "mv FROM TO",
         "rename or move a file or folder on the server (into TO when it is a folder)", "r", 0},
        {"rm", &Session::cmd_rm, "rm [-r] [-f] PATH...",
         "delete files or empty folders on the server; wildcards match as for get;\n"
         "-r deletes a folder with everything in it, after a y/N question on the terminal\n"
         "(-f: no question; needed without a terminal); it stops at the first refusal",
         "r", 0},
        {"check", &Session::cmd_check, "check PATH", "whether a path exists on the server", "r", 0},
        {"msg", &Session::cmd_msg, "msg USER TEXT...", "send a message to a connected user", "u-",
         0},
        {"notice", &Session::cmd_notice, "notice [TEXT...]",
         "show the server notice, or set it for everyone (\"\" clears it)", "-", 0},
        {"passwd", &Session::cmd_passwd, "passwd", "change your password", "-", 0},
        {"caminfo", &Session::cmd_caminfo, "caminfo", "the camera's capture size", "-", 0},
        {"snap", &Session::cmd_snap, "snap OUT.png", "take a camera frame and save it as PNG",
         "l", 0},
        {"listen", &Session::cmd_listen, "listen",
         "stay connected and print messages and notices as they come (the shell shows\n"
         "them anyway)",
         "-", 0},
        {"help", &Session::cmd_help, "help [COMMAND]", "the commands, or one command's usage",
         "c", kShellOnly | kNoConnection},
        {"quit", &Session::cmd_quit, "quit", "leave the shell (also 'exit' or Ctrl-D)", "-",
         kShellOnly | kNoConnection},
    };
    return table;
}

const Command* find_command(const std::string& name) {
    if (name == "exit") return find_command("quit");
    for (const Command& c : command_table())
        if (name == c.name) return &c;
    return nullptr;
}

std::string commands_help() {
    std::string out;
    for (const Command& c : command_table()) {
        std::string usage = std::string("  ") + c.usage;
        const char* text = c.summary;
        if (usage.size() > 22) {
            out += usage + "\n";
            usage.clear();
        }
        for (;;) {
            const char* nl = strchr(text, '\n');
            std::string line = nl ? std::string(text, nl) : std::string(text);
            char row[256];
            snprintf(row, sizeof(row), "%-22s %s\n", usage.c_str(), line.c_str());
            out += row;
            usage.clear();
            if (!nl) break;
            text = nl + 1;
        }
    }
    return out;
}

bool Session::parse_args(const std::vector<std::string>& args,
                         std::initializer_list<OptionDef> options, ParsedArgs& out) {
    out = ParsedArgs();
    bool options_end = false;
    for (size_t i = 1; i < args.size(); i++) {
        const std::string& a = args[i];
        if (options_end || a.size() < 2 || a[0] != '-') {
            out.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            options_end = true;
            continue;
        }
        // Short options may be grouped ("-rf"); a long one may carry "=VALUE".
        std::vector<std::string> flags;
        std::string inline_value;
        bool has_inline = false;
        if (a[1] == '-') {
            size_t eq = a.find('=');
            flags.push_back(a.substr(0, eq));
            if (eq != std::string::npos) {
                inline_value = a.substr(eq + 1);
                has_inline = true;
            }
        } else {
            for (size_t k = 1; k < a.size(); k++) flags.push_back(std::string("-") + a[k]);
        }
        for (size_t f = 0; f < flags.size(); f++) {
            const OptionDef* found = nullptr;
            for (const OptionDef& s : options)
                if ((s.short_name && flags[f] == s.short_name) || flags[f] == s.long_name)
                    found = &s;
            if (!found) {
                std::string problem = "unknown option '" + printable(flags[f]) + "'";
                usage_error(problem.c_str());
                return false;
            }
            std::string value;
            if (found->value) {
                if (has_inline) {
                    value = inline_value;
                } else if (f + 1 < flags.size()) {
                    value = a.substr(f + 2);  // "-s4096"
                    f = flags.size();
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    std::string problem = std::string("option '") + flags[f] + "' needs a value";
                    usage_error(problem.c_str());
                    return false;
                }
            }
            out.options[found->long_name] = value;
        }
    }
    return true;
}

int Session::usage_error(const char* problem) {
    const Command* c = find_command(word_);
    const char* usage = c ? c->usage : word_.c_str();
    if (problem)
        fprintf(stderr, "boardhub-cli: %s: %s (usage: %s)\n", word_.c_str(), problem, usage);
    else
        fprintf(stderr, "usage: %s\n", usage);
    return kUsage;
}

}  // namespace cli
