// Stand-in until this subsystem lands: its commands answer like an unknown command.
#include "server.h"

namespace {
void fail(Data* reply) {
    json_object* obj = json_object_new_object();
    json_object_object_add(obj, "RESULT", json_object_new_string("FAIL"));
    json_reply(reply->text, obj);
}
}  // namespace

int dispatch_list(Session* s, json_object*, bool) { fail(&s->reply); return 0; }
