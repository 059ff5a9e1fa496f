// json-c helpers of the client's commands: owned objects, requests, and reply members.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <memory>
#include <string>

namespace cli {

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

inline JsonPtr make_command(const char* word) {
    JsonPtr o(json_object_new_object());
    json_object_object_add(o.get(), "CMD", json_object_new_string(word));
    return o;
}

inline void add(json_object* o, const char* key, const std::string& value) {
    json_object_object_add(
        o, key, json_object_new_string_len(value.data(), static_cast<int>(value.size())));
}

inline void add(json_object* o, const char* key, int64_t value) {
    json_object_object_add(o, key, json_object_new_int64(value));
}

// A reply object, or null when the text is no JSON object.
inline JsonPtr parse(const std::string& text) {
    JsonPtr o(json_tokener_parse(text.c_str()));
    if (o && !json_object_is_type(o.get(), json_type_object)) o.reset();
    return o;
}

inline std::string member(json_object* o, const char* key) {
    json_object* m = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &m) || !m) return "";
    return json_object_get_string(m);
}

inline int64_t member_int(json_object* o, const char* key) {
    json_object* m = nullptr;
    if (!o || !json_object_object_get_ex(o, key, &m) || !m) return 0;
    return json_object_get_int64(m);
}

}  // namespace cli
