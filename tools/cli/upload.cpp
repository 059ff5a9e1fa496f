// put, mkdir, mv and rm: the server's write extension, used only when FEATURES lists it. An
// older server is told apart from a refusal, and the user is told so in plain words.
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "json_util.h"

namespace cli {

namespace {

std::string base_name(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string parent_of(const std::string& path) {
    std::string folder = path.substr(0, path.find_last_of('/'));
    return folder.empty() ? "/" : folder;
}

std::string join_remote(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

}  // namespace

int Session::need_extension(const char* name, const char* what) {
    bh::Frame reply;
    JsonPtr c = make_command("FEATURES");
    if (int rc = request(c.get(), reply)) return rc;
    std::vector<std::string> list;
    JsonPtr obj = parse(reply.payload);
    json_object* names = nullptr;
    if (obj && json_object_object_get_ex(obj.get(), "FEATURES", &names) &&
        json_object_is_type(names, json_type_array)) {
        for (size_t i = 0; i < json_object_array_length(names); i++) {
            json_object* n = json_object_array_get_idx(names, i);
            if (json_object_is_type(n, json_type_string)) list.push_back(json_object_get_string(n));
        }
    }
    if (bh::has_feature(list, name)) return kOk;
    fprintf(stderr, "boardhub-cli: %s: this server does not offer %s (it has no \"%s\" extension)\n",
            word_.c_str(), what, name);
    return kRefused;
}

// The outcome of a write command: kOk, a printed refusal, or a lost connection.
int Session::write_outcome(const bh::Outcome& o, const std::string& path) {
    if (!o.done) return lost(word_);
    print_messages();
    if (o.ok()) return kOk;
    fprintf(stderr, "boardhub-cli: %s: %s: %s\n", word_.c_str(), printable(path).c_str(),
            bh::reason_text(o.reason).c_str());
    return kRefused;
}

int Session::upload(const std::string& local, const std::string& remote_path, bool force) {
    int fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "boardhub-cli: put: %s: %s\n", local.c_str(),
                fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0) close(fd);
        return kLocal;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    Progress progress(opt_.progress, base_name(local), size);
    progress.update(0);
    bh::Outcome o = bh::put(client_, remote_path, fd, size, force,
                            [&progress](uint64_t done, uint64_t) { progress.update(done); });
    close(fd);
    if (o.ok()) progress.update(size, true);
    progress.abandon();
    if (o.done && o.reason == "EXISTS") {
        fprintf(stderr, "boardhub-cli: put: %s exists on the server; not replaced (-f replaces)\n",
                printable(remote_path).c_str());
        return kRefused;
    }
    int rc = write_outcome(o, remote_path);
    if (rc == kOk && in_shell_)
        printf("%s: %" PRIu64 " bytes\n", printable(remote_path).c_str(), size);
    return rc;
}

int Session::upload_tree(const std::string& local, const std::string& remote_path, bool force,
                         int depth) {
    if (depth > kMaxTreeDepth) {
        fprintf(stderr, "boardhub-cli: put: %s: skipped, deeper than %d folders\n", local.c_str(),
                kMaxTreeDepth);
        return kRefused;
    }
    bh::Outcome made = bh::make_folder(client_, remote_path);
    if (!made.done) return lost(word_);
    if (!made.ok() && made.reason != "EXISTS") return write_outcome(made, remote_path);
    DIR* d = opendir(local.c_str());
    if (!d) {
        fprintf(stderr, "boardhub-cli: put: %s: %s\n", local.c_str(), strerror(errno));
        return kLocal;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    int worst = kOk;
    for (const std::string& n : names) {
        std::string child = local + "/" + n;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        int rc;
        if (S_ISDIR(st.st_mode))
            rc = upload_tree(child, join_remote(remote_path, n), force, depth + 1);
        else if (S_ISREG(st.st_mode))
            rc = upload(child, join_remote(remote_path, n), force);
        else
            continue;  // links and special files stay local
        if (rc == kInterrupted || rc == kConnection) return rc;
        if (worst == kOk) worst = rc;
    }
    return worst;
}

int Session::cmd_put(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {{"-f", "--force", false}, {"-r", "--recursive", false}}, a))
        return kUsage;
    if (a.operands.empty() || a.operands.size() > 2) return usage_error("LOCAL [REMOTE]");
    if (int rc = need_extension("write", "uploads")) return rc;
    // A local pattern (the shell's own, for a name the local shell did not expand): the files
    // that match go into one remote folder.
    std::vector<std::string> locals;
    struct stat st;
    if (has_wildcard(a.operands[0]) && lstat(a.operands[0].c_str(), &st) != 0) {
        glob_t g;
        int rc = glob(a.operands[0].c_str(), 0, nullptr, &g);
        if (rc == 0)
            for (size_t i = 0; i < g.gl_pathc; i++) locals.push_back(g.gl_pathv[i]);
        globfree(&g);
        if (locals.empty()) {
            fprintf(stderr, "boardhub-cli: put: %s: no match\n", a.operands[0].c_str());
            return kRefused;
        }
    } else {
        locals.push_back(a.operands[0]);
    }
    // REMOTE: a folder that exists receives the files under their own names; else, for one
    // file, the new name.
    std::string target = a.operands.size() == 2 ? remote(a.operands[1]) : cwd_;
    bool is_folder = a.operands.size() == 1 || target == "/";
    if (!is_folder) {
        Listing listing;
        std::string folder = target.substr(0, target.find_last_of('/'));
        if (folder.empty()) folder = "/";
        if (list(folder, true, listing) == kOk) {
            std::string last = base_name(target);
            for (const Entry& en : listing.entries)
                if (en.name == last && en.folder) is_folder = true;
        }
    }
    if (locals.size() > 1 && !is_folder) {
        fprintf(stderr, "boardhub-cli: put: %s is not a folder (several files go into one)\n",
                printable(target).c_str());
        return kUsage;
    }
    int worst = kOk;
    for (std::string local : locals) {
        while (local.size() > 1 && local.back() == '/') local.pop_back();
        std::string to = is_folder ? join_remote(target, base_name(local)) : target;
        int rc;
        if (stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            if (!a.has("--recursive")) {
                fprintf(stderr, "boardhub-cli: put: %s: is a folder (put -r uploads folders)\n",
                        local.c_str());
                rc = locals.size() == 1 ? kUsage : kRefused;
            } else {
                rc = upload_tree(local, to, a.has("--force"), 0);
            }
        } else {
            rc = upload(local, to, a.has("--force"));
        }
        if (rc == kInterrupted || rc == kConnection) return rc;
        if (worst == kOk) worst = rc;
    }
    return worst;
}

int Session::cmd_mkdir(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {}, a)) return kUsage;
    if (a.operands.empty()) return usage_error("name a folder");
    if (int rc = need_extension("write", "new folders")) return rc;
    int worst = kOk;
    for (const std::string& typed : a.operands) {
        std::string path = remote(typed);
        int rc = write_outcome(bh::make_folder(client_, path), path);
        if (rc == kConnection) return rc;
        if (worst == kOk) worst = rc;
    }
    return worst;
}

int Session::cmd_mv(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {}, a)) return kUsage;
    if (a.operands.size() != 2) return usage_error("FROM TO");
    if (int rc = need_extension("write", "renames")) return rc;
    std::string from = remote(a.operands[0]), to = remote(a.operands[1]);
    // Into a folder that exists: under the same name.
    Listing listing;
    std::string folder = to.substr(0, to.find_last_of('/'));
    if (folder.empty()) folder = "/";
    if (to == "/") {
        to = join_remote(to, base_name(from));
    } else if (list(folder, true, listing) == kOk) {
        for (const Entry& e : listing.entries)
            if (e.name == base_name(to) && e.folder) to = join_remote(to, base_name(from));
    }
    bh::Outcome o = bh::rename_entry(client_, from, to);
    // Name what refused: the target for a name that exists; for DENIED the folder at fault,
    // which the reply does not say when the two folders differ. Renaming FROM onto itself
    // asks the server's checks of FROM's side alone and changes nothing (it answers EXISTS
    // when that side may be written).
    std::string blamed = from;
    if (o.done && o.reason == "EXISTS") blamed = to;
    if (o.done && o.reason == "DENIED") {
        std::string from_folder = parent_of(from), to_folder = parent_of(to);
        blamed = to_folder;
        if (from_folder != to_folder) {
            bh::Outcome probe = bh::rename_entry(client_, from, from);
            if (!probe.done) return lost(word_);
            if (probe.reason == "DENIED") blamed = from_folder;
        }
    }
    return write_outcome(o, blamed);
}

bool Session::confirm(const std::string& question) {
    fprintf(stderr, "boardhub-cli: %s [y/N] ", question.c_str());
    fflush(stderr);
    std::string answer;
    char c;
    while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n') answer += c;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') && !interrupted();
}

int Session::remove_tree(const std::string& path, int depth) {
    if (depth > kMaxTreeDepth) {
        fprintf(stderr, "boardhub-cli: rm: %s: deeper than %d folders; stopped\n",
                printable(path).c_str(), kMaxTreeDepth);
        return kRefused;
    }
    // A listing that may lack entries is taken again once those it showed are gone.
    for (;;) {
        Listing listing;
        if (int rc = list(path, true, listing)) return rc;
        if (listing.status == "CLOSED") {
            fprintf(stderr, "boardhub-cli: rm: %s: closed (you may not enter this folder)\n",
                    printable(path).c_str());
            return kRefused;
        }
        if (listing.status == "ERROR") {
            fprintf(stderr, "boardhub-cli: rm: %s: no such folder, or it cannot be read\n",
                    printable(path).c_str());
            return kRefused;
        }
        for (const Entry& e : listing.entries) {
            std::string child = join_remote(path, e.name);
            int rc = e.folder && !e.closed
                         ? remove_tree(child, depth + 1)
                         : write_outcome(bh::delete_entry(client_, child), child);
            if (rc != kOk) return rc;
        }
        if (listing.entries.empty() || (!listing.filled && !listing.info.changed)) break;
    }
    return write_outcome(bh::delete_entry(client_, path), path);
}

int Session::cmd_rm(const std::vector<std::string>& args) {
    ParsedArgs a;
    if (!parse_args(args, {{"-r", "--recursive", false}, {"-f", "--force", false}}, a))
        return kUsage;
    if (a.operands.empty()) return usage_error("name a file or a folder");
    bool recursive = a.has("--recursive"), force = a.has("--force");
    // Deleting a tree is asked about on a terminal; without one only -f may do it.
    if (recursive && !force && !isatty(STDIN_FILENO)) {
        fprintf(stderr,
                "boardhub-cli: rm: -r without -f asks before deleting, and there is no terminal "
                "to ask on; nothing deleted (add -f)\n");
        return kUsage;
    }
    if (int rc = need_extension("write", "deletes")) return rc;
    std::vector<Match> paths;
    for (const std::string& typed : a.operands) {
        std::vector<Match> matches;
        if (int rc = expand(typed, matches)) return rc;
        paths.insert(paths.end(), matches.begin(), matches.end());
    }
    int worst = kOk;
    for (const Match& m : paths) {
        const std::string& path = m.path;
        int rc;
        Entry entry = m.entry;
        if (recursive && path == "/") {
            fprintf(stderr, "boardhub-cli: rm: the root folder is not deleted\n");
            rc = kRefused;
        } else if (recursive && !m.known && (rc = lookup(path, entry)) != kOk) {
            // printed
        } else if (recursive && entry.folder) {
            if (!force && !confirm("rm: delete " + printable(path) + " and everything in it?")) {
                fprintf(stderr, "boardhub-cli: rm: %s: not deleted\n", printable(path).c_str());
                rc = kRefused;
            } else {
                rc = remove_tree(path, 0);
            }
        } else {
            rc = write_outcome(bh::delete_entry(client_, path), path);
        }
        if (rc == kConnection || rc == kInterrupted) return rc;
        if (worst == kOk) worst = rc;
        // A tree stops at the first refusal, and so does the command.
        if (recursive && rc != kOk) return rc;
    }
    return worst;
}

}  // namespace cli
