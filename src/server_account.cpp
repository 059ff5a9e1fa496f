// Stand-in until this subsystem lands: its commands answer like an unknown command.
#include "server.h"

namespace {
void fail(Data* reply) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("FAIL"));
    json_reply(reply->text, obj);
}
}  // namespace

void cmd_hello(Data* reply, json_object**) { fail(reply); }
int cmd_login(Data* reply, json_object**, int) { fail(reply); return 100; }
void double_login(Data*, int) {}
void remove_user(int) {}
void cmd_id(Data* reply, json_object**, int) { fail(reply); }
void cmd_who(Data* reply, json_object**, int) { fail(reply); }
void cmd_message(Data* reply, json_object**, int) { fail(reply); }
void cmd_mod(Data* reply, json_object**, int) { fail(reply); }
void cmd_password(Data* reply, json_object**, int) { fail(reply); }
