// Account database: "users.db" and "group.db", one shared SQLite connection each.
#pragma once

class Admin {
public:
    int set_users_db(const char* path);
    int set_group_db(const char* path);
    void close();
};

extern Admin admin;
