// Stand-in until the account database lands: nothing opens, lookups find nobody.
#include "admin.h"

#include <cstring>

Admin admin;

int Admin::set_users_db(const char*) { return -1; }
int Admin::set_group_db(const char*) { return -1; }
int Admin::get_user_info(UserInfo* info) {
    char name[64];
    memcpy(name, info->name, sizeof(name));
    memset(info, 0, sizeof(*info));
    memcpy(info->name, name, sizeof(name));
    return -1;
}
int Admin::get_group_info(GroupInfo* info) {
    info->memo[0] = '\0';
    info->members[0] = '\0';
    return -1;
}
int Admin::set_password(const char*, const char*, int* changed) {
    if (changed) *changed = 0;
    return -1;
}
void Admin::close() {}
