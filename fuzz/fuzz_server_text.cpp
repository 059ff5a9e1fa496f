// Text from the server as the client shows it: listing lines parsed into entries, and any
// bytes made printable. Nothing shown may hold a control byte (an escape sequence would reach
// the user's terminal), valid UTF-8 must pass unchanged, and fitting to a width must stay
// within it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"

namespace {

void check_shown(const std::string& in) {
    std::string out = cli::printable(in);
    for (size_t i = 0; i < out.size(); i++) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        bool c1 = c == 0xC2 && i + 1 < out.size() &&
                  static_cast<unsigned char>(out[i + 1]) >= 0x80 &&
                  static_cast<unsigned char>(out[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            fprintf(stderr, "control byte 0x%02X shown at %zu\n", c, i);
            abort();
        }
    }
    if (cli::printable(out) != out) abort();  // shown text is UTF-8 without controls
    for (size_t cols : {0u, 1u, 7u, 40u}) {
        std::string fitted = cli::fit_width(out, cols);
        if (cli::display_width(fitted) > cols || out.compare(0, fitted.size(), fitted) != 0)
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    check_shown(text);
    // Each line as a listing line, of LIST and of ENTRIES; then ls -l's orders over what parsed.
    std::vector<cli::Entry> entries;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        for (bool with_times : {false, true}) {
            cli::Entry e;
            if (!bh::parse_entry_line(text.data() + pos, end - pos, with_times, e)) continue;
            check_shown(e.name);
            check_shown(cli::entry_time(e.mtime));
            // A name accepted as a local path segment never leaves its folder.
            if (cli::safe_local_name(e.name) &&
                (e.name == ".." || e.name.find('/') != std::string::npos))
                abort();
            entries.push_back(std::move(e));
        }
        pos = end + 1;
    }
    for (cli::SortKey key : {cli::SortKey::name, cli::SortKey::time, cli::SortKey::size})
        cli::sort_entries(entries, key, size % 2 == 0);
    std::string progress = cli::Progress::render(cli::printable(text), size, size * 2 + 1,
                                                 1e6, 3.0, false, static_cast<int>(size % 200));
    if (size % 200 > 1 && cli::display_width(progress) >= size % 200) abort();
    return 0;
}
