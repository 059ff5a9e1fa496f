// Text helpers: line cutting, UTF-8-safe truncation and the json-c conveniences that every
// handler uses to read members and serialise replies.
#include "utils.h"

#include <json-c/json.h>

#include <cstring>

#include "server.h"

void strip(char* s) {
    s[strcspn(s, "\r\n")] = '\0';
}

size_t utf8_cut(const char* s, size_t len, size_t max) {
    if (len <= max) return len;
    size_t cut = max;
    // Step back over continuation bytes so the cut never splits a character.
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) cut--;
    return cut;
}

char* json_reply(char* dst, size_t size, json_object* obj) {
    const char* text = json_object_to_json_string(obj);
    size_t len = strlen(text);
    if (len >= size) len = utf8_cut(text, len, size - 1);
    memcpy(dst, text, len);
    dst[len] = '\0';
    json_object_put(obj);
    return dst;
}

const char* json_text(json_object* obj, const char* key) {
    json_object* member = nullptr;
    if (!obj || !json_object_is_type(obj, json_type_object)) return nullptr;
    if (!json_object_object_get_ex(obj, key, &member)) return nullptr;
    if (!json_object_is_type(member, json_type_string)) return nullptr;
    return json_object_get_string(member);
}
