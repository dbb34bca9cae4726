// simctl.exe: sends one control command to the running unit_server.exe and prints the reply,
// for shell scripts. The words of the command line form the command: simctl plug a pid=1
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "sim/win/sim_control.h"

int wmain(int argc, wchar_t** argv) {
    std::wstring command;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) command += L' ';
        command += argv[i];
    }
    if (command.empty()) {
        std::fprintf(stderr, "usage: simctl <command...>  (see sim/win/sim_control.h)\n");
        return 2;
    }
    std::wstring reply;
    if (!simControl(command.c_str(), &reply)) {
        std::fprintf(stderr, "simctl: no unit server answers\n");
        return 1;
    }
    // Plain \n line ends for the shell scripts that read this.
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string text = simToUtf8(reply);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    return text.compare(0, 5, "error") == 0 ? 1 : 0;
}
