// Entry point of zirvano-flash: the system's command line and setting, then one command.
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "cli/platform.h"
#include "link/programmer_link.h"

int main(int argc, char** argv) {
    catchStopRequests();
    const std::vector<std::string> words = systemArguments(argc, argv);
    std::vector<const char*> arguments;
    for (const std::string& word : words) arguments.push_back(word.c_str());
    resetProgrammerLink();
    const int exitCode =
        runCli(static_cast<int>(arguments.size()), arguments.data(), systemSetting());
    // The device is closed by now: the end by a signal comes after the clean-up.
    closeProgrammer();
    return endOfProcess(exitCode);
}
