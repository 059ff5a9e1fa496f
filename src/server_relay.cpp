// RELAY: acknowledged without switching anything; the relay layer has no outputs here.
#include "logger.h"
#include "server.h"

void cmd_relay(Data* reply, json_object** pair, int slot) {
    pair[0] = json_object_new_object();
    json_object_object_add(pair[0], "RESULT", json_object_new_string("OK"));
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("cmd_relay", LOG_DEBUG, reply->text);
    slot_send_text(slot, TYPE_REPLY, reply->text);
}
