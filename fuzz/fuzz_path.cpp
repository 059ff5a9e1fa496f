// Client path checks: client_path_ok must accept exactly the paths that stay below their base:
// empty, or beginning with "/" and holding no ".." component.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "server_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path(reinterpret_cast<const char*>(data), size);
    path = path.substr(0, path.find('\0'));  // a JSON text reaches the check as a C string
    bool want = true;
    if (!path.empty()) {
        want = path[0] == '/';
        size_t pos = 0;
        while (want && pos <= path.size()) {
            size_t end = path.find('/', pos);
            if (end == std::string::npos) end = path.size();
            if (path.compare(pos, end - pos, "..") == 0 && end - pos == 2) want = false;
            pos = end + 1;
        }
    }
    if (client_path_ok(path.c_str()) != want) {
        fprintf(stderr, "client_path_ok(\"%s\") is %d\n", path.c_str(), !want);
        abort();
    }
    return 0;
}
