// Linux and other POSIX systems: file descriptors 0 to 2, the locale variables, and a thread
// that takes the stop signals.
#include "cli/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <thread>

#include "update/carried_image.h"
#include "cli/exit_codes.h"
#include "update/keep_awake.h"

namespace {

constexpr char kGermanPrefix[] = "de";
constexpr int kAnswerPollMs = 100;  // how soon a stop request ends the wait for an answer
constexpr std::uint64_t kMsPerSecond = 1000;
constexpr std::uint64_t kNsPerMs = 1000000;

std::atomic<int> interrupts{0};
std::atomic<bool> terminated{false};
std::atomic<bool> hungUp{false};
std::atomic<int> lastStopSignal{0};
std::atomic<bool> endAtOnce{false};

// Ends the process by `signal` with its default action, from whichever thread calls it.
[[noreturn]] void dieBy(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached: the default action of SIGINT and SIGTERM ends us
}

StopRequest currentStopRequest() {
    if (terminated.load() || interrupts.load() >= 2) return StopRequest::insisted;
    // A hang-up asks like one Ctrl-C and never insists: nobody is left to insist.
    return interrupts.load() == 1 || hungUp.load() ? StopRequest::asked : StopRequest::none;
}

void writeAll(int descriptor, const char* bytes, std::size_t length) {
    while (length != 0) {
        const ssize_t written = ::write(descriptor, bytes, length);
        if (written < 0 && errno == EINTR) continue;
        // A closed pipe or a vanished terminal ends the output, not the update.
        if (written <= 0) return;
        bytes += written;
        length -= static_cast<std::size_t>(written);
    }
}

void writeOut(const char* bytes, std::size_t length, void*) {
    writeAll(STDOUT_FILENO, bytes, length);
}
void writeErr(const char* bytes, std::size_t length, void*) {
    writeAll(STDERR_FILENO, bytes, length);
}

// One byte at a time, so nothing after the line is taken from the terminal; the wait looks at
// stop requests in between, since the stop signals are blocked in this thread.
bool readAnswer(char* line, std::size_t size, void*) {
    std::size_t length = 0;
    for (;;) {
        if (currentStopRequest() != StopRequest::none) return false;
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&input, 1, kAnswerPollMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char byte = 0;
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            line[length] = '\0';
            return length != 0;
        }
        if (byte == '\n') break;
        if (length + 1 < size) line[length++] = byte;
    }
    line[length] = '\0';
    return true;
}

std::uint64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kMsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) / kNsPerMs;
}

StopRequest stopRequest() { return currentStopRequest(); }

void stopAtOnce(bool atOnce) {
    endAtOnce.store(atOnce);
    // A stop that came while it was off and has not been acted upon yet.
    if (atOnce && lastStopSignal.load() != 0) dieBy(lastStopSignal.load());
}

bool isPermissionDenied(std::uint32_t systemError) {
    return systemError == EACCES || systemError == EPERM;
}

// The hidraw backend lists only the unit vendor's interfaces: one that cannot be opened may be
// a unit.
bool mayBeUnit(const char16_t*) { return true; }

void takeStopSignals(sigset_t signals) {
    for (;;) {
        int taken = 0;
        if (sigwait(&signals, &taken) != 0) continue;
        if (taken == SIGTERM)
            terminated.store(true);
        else if (taken == SIGHUP)
            hungUp.store(true);
        else
            interrupts.fetch_add(1);
        lastStopSignal.store(taken);
        if (endAtOnce.load()) dieBy(taken);
    }
}

struct RecordDescriptor {
    int descriptor;
};

void* openRecord(const char* path, std::uint32_t* systemError) {
    const int descriptor = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        *systemError = static_cast<std::uint32_t>(errno);
        return nullptr;
    }
    return new RecordDescriptor{descriptor};
}

// One write at the end of the file, under the file's lock: another program recording into the
// same file waits for the whole line. Then to the disk, so that a crash loses no line that was
// written.
bool appendRecord(void* file, const char* line, std::size_t length, std::uint32_t* systemError) {
    const int descriptor = static_cast<RecordDescriptor*>(file)->descriptor;
    while (flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
    }
    ssize_t written;
    do {
        written = ::write(descriptor, line, length);
    } while (written < 0 && errno == EINTR);
    const int writeError = written < 0 ? errno : 0;
    // A pipe or a terminal as the record cannot be synced, and needs not be.
    const bool synced = fsync(descriptor) == 0 || errno == EINVAL || errno == EROFS;
    const int syncError = synced ? 0 : errno;
    flock(descriptor, LOCK_UN);
    if (written >= 0 && static_cast<std::size_t>(written) == length && synced) return true;
    *systemError = static_cast<std::uint32_t>(writeError != 0 ? writeError
                                              : syncError != 0 ? syncError
                                                               : EIO);
    return false;
}

void closeRecord(void* file) {
    ::close(static_cast<RecordDescriptor*>(file)->descriptor);
    delete static_cast<RecordDescriptor*>(file);
}

std::uint64_t utcNowMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kMsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec) / kNsPerMs;
}

}  // namespace

std::vector<std::string> systemArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void catchStopRequests() {
    // Blocked in every thread and taken by one of its own: no system call of the transfer is
    // ever broken off by them, so a report is written and answered whole or not at all.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(takeStopSignals, signals).detach();
    // A closed terminal or pipe must not end an update half-way; the writes just fail.
    signal(SIGPIPE, SIG_IGN);
}

Language languageOfLocale(const char* lcAll, const char* lcMessages, const char* lang) {
    for (const char* value : {lcAll, lcMessages, lang}) {
        if (value == nullptr || value[0] == '\0') continue;
        return std::strncmp(value, kGermanPrefix, sizeof kGermanPrefix - 1) == 0
                   ? Language::german
                   : Language::english;
    }
    return Language::english;
}

CliSetting systemSetting() {
    CliSetting setting{};
    setting.console.out = {writeOut, nullptr, isatty(STDOUT_FILENO) == 1};
    setting.console.err = {writeErr, nullptr, isatty(STDERR_FILENO) == 1};
    setting.console.inputIsTerminal = isatty(STDIN_FILENO) == 1;
    setting.console.readLine = readAnswer;
    setting.system = {monotonicMs, stopRequest, stopAtOnce,   keepAwake,   isPermissionDenied,
                      mayBeUnit,   true,        openRecord,   appendRecord, closeRecord,
                      utcNowMs};
    setting.language =
        languageOfLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
    setting.image = kCarriedImage;
    return setting;
}

int endOfProcess(int exitCode) {
    if (exitCode == kExitInterrupted && lastStopSignal.load() != 0) dieBy(lastStopSignal.load());
    return exitCode;
}
