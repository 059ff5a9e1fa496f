// Shared folders: who may enter which folder of the share (the ".folder" access files, user
// levels, groups), the listings of LIST, LISTALL and ENTRIES, and the file transfers CHECK, FILE, DATA,
// SEND and NEXT. Folder functions live in server_folder.cpp, transfers in server_transfer.cpp.
#pragma once

#include <cstdint>
#include <cstdio>

#include "server.h"

// A listing line ("DN,%d,%d,%s\n" with a file name of at most 255 bytes) always fits.
constexpr size_t LINE_SIZE = 1024;

// True for a path a client may name below a base directory: empty (the base itself), or
// beginning with "/" and holding no ".." component. Anything else could leave the base.
bool client_path_ok(const char* path);

// Access of the user of session slot to the folder at the file-system path dir: 0 closed,
// 1 read, 2 read and write. Levels 0 and below get 0, level 1 gets 1, level 9 gets 2; other
// levels are judged by dir's ".folder/users_w", "users_r", "group_w" and "group_r". A dir too
// long to append the access file names to gets 0.
int get_dir_code(int slot, const char* dir);

// Access to the folder rel (a client path that passed client_path_ok, "" or "/" for the root)
// of the share: the lowest get_dir_code of the share root and of every folder on the way down
// to rel, so a folder inside a closed folder stays closed whatever its own files say.
int get_path_code(int slot, const char* rel);

// Access to the folder that holds the entry rel (a client path): get_path_code of everything
// before rel's last "/". The root holds "" and "/".
int get_holder_code(int slot, const char* rel);

// 1 when the entry name is never listed: a name of the hidden table, or with show_dot false,
// any name beginning with ".".
int is_hidden(const char* name, bool show_dot);

// For the symbolic link name inside the folder dir: 1 when it leads to a regular file, 0 when
// it leads to a folder, -1 otherwise (no link, missing target, a link to a link, a device).
// A relative target is taken relative to dir, an absolute one as it stands.
int isLinkFile(const char* dir, const char* name);

// Size of the file at path (links followed), or 0 with an ERROR line when stat fails.
int64_t get_file_size(const char* path);

// The listing of the folder path (a client path) into reply->text: entry lines or "CLOSED\n",
// "ERROR\n", "NONE\n". all: LISTALL (names beginning with "." are shown). Always 0.
int cmd_list(Data* reply, json_object** pair, int slot, const char* path, bool all);

// Transfers. Each sends its own frames on the slot's connection and returns -1 when the
// session must end (a write failed, or a file yielded fewer bytes than were announced).
// stream is nullptr when no file is open. cmd_file closes its stream; the stream of cmd_send
// and cmd_next stays with the session (Session::send_stream).
int cmd_file(Data* reply, json_object** pair, int slot, FILE* stream);
int cmd_send(Data* reply, json_object** pair, int slot, FILE* stream);
int cmd_next(Data* reply, json_object** pair, int slot, FILE* stream);

// Opens path for reading when it is a regular file; nullptr for anything else (a folder, a
// FIFO, a device, a socket) or when it cannot be opened. Never blocks on a FIFO.
FILE* open_regular(const char* path);
