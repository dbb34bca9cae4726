// Runs one zirvano-flash command line in this process, as its main() does but without closing
// the link afterwards, then tells whether the command gave the unit back: how many descriptors
// it left open, and whether the unit opens again (another of our programs would find it held
// otherwise).
//
//   zirvano_flash_release_probe COMMAND [OPTIONS...]
#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "link/device_io.h"
#include "link/open_link.h"
#include "link/programmer_link.h"

namespace {

void writeTo(const char* bytes, std::size_t length, void* stream) {
    std::fwrite(bytes, 1, length, static_cast<std::FILE*>(stream));
}

std::uint64_t steadyMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

StopRequest neverStopped() { return StopRequest::none; }
void ignore(bool) {}
bool isPermissionDenied(std::uint32_t systemError) {
    return systemError == EACCES || systemError == EPERM;
}
bool mayBeUnit(const char16_t*) { return true; }
bool noAnswer(char*, std::size_t, void*) { return false; }

CliSetting probeSetting() {
    CliSetting setting{};
    setting.console.out = {writeTo, stdout, false};
    setting.console.err = {writeTo, stderr, false};
    setting.console.inputIsTerminal = false;
    setting.console.readLine = noAnswer;
    setting.system = {steadyMs, neverStopped, ignore, ignore, isPermissionDenied, mayBeUnit, true};
    setting.language = Language::english;
    setting.image = kCarriedImage;
    return setting;
}

// Open descriptors of this process, the directory's own included.
int openDescriptors() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return -1;
    int count = 0;
    while (readdir(directory) != nullptr) ++count;
    closedir(directory);
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    resetProgrammerLink();
    const int before = openDescriptors();
    const int exitCode = runCli(argc, argv, probeSetting());
    const int after = openDescriptors();
    std::printf("exit: %d\n", exitCode);
    std::printf("descriptors left open: %d\n", after - before);
    const LinkResult again = openProgrammer();
    std::printf("open again: %d (system error %u)\n", again, lastSystemError());
    closeProgrammer();
    return 0;
}
