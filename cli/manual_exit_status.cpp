// Writes the manual page's EXIT STATUS rows from the exit-code table, at build time: the page
// lists exactly the codes --help does, with the same meanings.
#include <cstdio>
#include <cstring>

#include "cli/exit_codes.h"

namespace {

// A meaning as roff wants it: hyphens as \- (else they may break or turn into dashes), and the
// command line's options in bold.
void putMeaning(std::FILE* out, const char* meaning) {
    bool option = false;
    for (const char* at = meaning; *at != '\0'; ++at) {
        const bool startsOption = at[0] == '-' && at[1] == '-' && (at == meaning || at[-1] == ' ');
        if (startsOption) {
            std::fputs("\\fB", out);
            option = true;
        }
        if (option && (*at == ' ' || *at == ',' || *at == ')' || *at == ';')) {
            std::fputs("\\fR", out);
            option = false;
        }
        if (*at == '-')
            std::fputs("\\-", out);
        else
            std::fputc(*at, out);
    }
    if (option) std::fputs("\\fR", out);
    std::fputc('\n', out);
}

}  // namespace

// argv[1]: the file to write.
int main(int argc, char** argv) {
    if (argc != 2) return 2;
    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) return 1;
    std::size_t rows = 0;
    const ExitCodeRow* row = exitCodeRows(&rows);
    for (const ExitCodeRow* end = row + rows; row != end; ++row) {
        std::fprintf(out, ".TP\n.B %d\n", row->code);
        putMeaning(out, row->english);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
