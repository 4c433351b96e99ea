// Prints the manual of `remedy --help` as a roff man page, so the installed remedy(1) says
// exactly what --help says. Headings (lines that start in column one) become sections; every
// other line is kept as laid out, in no-fill mode.
#include <cstdio>
#include <string_view>

#include "cli/help_text.h"

namespace {

// A roff text line must not start with a control character, and a backslash is an escape.
void put_text_line(std::string_view line) {
    if (!line.empty() && (line.front() == '.' || line.front() == '\'')) std::fputs("\\&", stdout);
    for (char c : line) {
        if (c == '\\') std::fputs("\\e", stdout);
        else if (c == '-') std::fputs("\\-", stdout);
        else std::fputc(c, stdout);
    }
    std::fputc('\n', stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const char* version = argc > 1 ? argv[1] : "";
    std::printf(".TH REMEDY 1 \"\" \"remedy %s\" \"User Commands\"\n", version);
    std::string_view manual = cli::kManual;
    while (!manual.empty()) {
        size_t end = manual.find('\n');
        std::string_view line = manual.substr(0, end);
        manual.remove_prefix(end == std::string_view::npos ? manual.size() : end + 1);
        if (!line.empty() && line.front() != ' ') {
            std::fputs(".fi\n.SH ", stdout);
            put_text_line(line);
            std::fputs(".nf\n", stdout);
        } else if (line.empty()) {
            std::fputs(".sp\n", stdout);
        } else {
            // man indents a section's text itself.
            put_text_line(line.starts_with("    ") ? line.substr(4) : line);
        }
    }
    std::fputs(".fi\n", stdout);
    return 0;
}
