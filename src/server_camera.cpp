// Stand-in until this subsystem lands: its commands answer like an unknown command.
#include "server.h"

namespace {
void fail(Data* reply) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("FAIL"));
    json_reply(reply->text, obj);
}
}  // namespace

bool init_camera() { return false; }
void cmd_camera(Data* reply, json_object**, int) { fail(reply); }
void cmd_caminfo(Data* reply, json_object**, int) { fail(reply); }
void cmd_viewport(Data* reply, json_object**, int) { fail(reply); }
