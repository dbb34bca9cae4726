#include "tests/linux/emulated_unit.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "link/programmer_link.h"
#include "tests/linux/unit_descriptor.h"

extern char** environ;

namespace {

constexpr const char* kNodeName = "/dev/hidraw0";
constexpr const char* kHidDeviceName = "0003:F0E1:0002.0001";
constexpr const char* kHidrawDeviceName = "hidraw0";
constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";
// The preload library must come before the sanitizer runtime in a sanitized program; the
// runtime's check of that order is what would stop it, not a real conflict.
constexpr const char* kSanitizerOrderOption = "verify_asan_link_order=0";
// A token line per queued report wakes the program's poll(); the node is put in canonical mode
// so that each consumed read takes exactly one token.
constexpr char kToken = '\n';
// Writing into the pty reaches its reading end through a kernel work queue; a report is only
// counted as sent once its token can be seen there, as with a real node, where a report is
// queued before the write that caused it returns.
constexpr std::chrono::milliseconds kTokenVisibleBound{2000};
constexpr std::chrono::microseconds kTokenPollInterval{50};

struct QueuedAnswer {
    std::vector<std::uint8_t> bytes;
    std::size_t requestIndex;  // in the unit's record; kUnasked for a report nobody asked for
};
constexpr std::size_t kUnasked = ~std::size_t{0};

}  // namespace

struct EmulatedUnit {
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    int master = -1;         // the node's other end, owned by the testbed
    int watch = -1;          // the node's own end, held only to see tokens arrive
    std::string nodeTarget;  // the pty the node links to
    NodeAccess access = NodeAccess::granted;
    std::chrono::steady_clock::time_point pluggedAt;
    hiditems::Bytes descriptor;

    std::mutex lock;  // the handler runs on umockdev's worker thread
    SimUnit unit;
    std::deque<QueuedAnswer> answers;
    std::vector<GSource*> lateAnswers;
};

namespace {

std::uint64_t unitClockMs(const EmulatedUnit& e) {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - e.pluggedAt)
                                          .count());
}

// This end is looked at with plain system calls: this process runs under the preload library,
// which would hand its ioctls to the testbed's default handler instead of the pty.
void waitForTokens(EmulatedUnit& e) {
    const auto deadline = std::chrono::steady_clock::now() + kTokenVisibleBound;
    int visible = 0;
    while (syscall(SYS_ioctl, e.watch, FIONREAD, &visible) == 0 &&
           static_cast<std::size_t>(visible) < e.answers.size() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kTokenPollInterval);
}

void queueAnswer(EmulatedUnit& e, std::vector<std::uint8_t> bytes, std::size_t requestIndex) {
    e.answers.push_back({std::move(bytes), requestIndex});
    const ssize_t written = write(e.master, &kToken, 1);
    (void)written;
}

struct LateAnswer {
    EmulatedUnit* emulated;
    std::vector<std::uint8_t> bytes;
    std::size_t requestIndex;
};

gboolean lateAnswerArrives(gpointer data) {
    auto* late = static_cast<LateAnswer*>(data);
    EmulatedUnit& e = *late->emulated;
    std::lock_guard<std::mutex> hold(e.lock);
    if (e.unit.connected) {
        queueAnswer(e, late->bytes, late->requestIndex);
        waitForTokens(e);
    }
    return G_SOURCE_REMOVE;
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto& e = *static_cast<EmulatedUnit*>(data);
    UMockdevIoctlData* request = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> hold(e.lock);
    std::vector<std::uint8_t> answer(e.unit.inputReportLength);
    const SimReply reply =
        simUnitHandle(e.unit, request->data, static_cast<std::uint32_t>(request->data_len),
                      unitClockMs(e), answer.data(), e.unit.inputReportLength);
    if (reply == SimReply::disconnected) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    const std::size_t requestIndex = e.unit.received.size() - 1;
    switch (reply) {
        case SimReply::answer: queueAnswer(e, answer, requestIndex); break;
        case SimReply::answerTwice:
            queueAnswer(e, answer, requestIndex);
            queueAnswer(e, answer, kUnasked);
            break;
        case SimReply::answerThenUnasked: {
            queueAnswer(e, answer, requestIndex);
            std::vector<std::uint8_t> unasked(e.unit.inputReportLength);
            simUnaskedReport(e.unit, unasked.data(), e.unit.inputReportLength);
            queueAnswer(e, unasked, kUnasked);
            break;
        }
        case SimReply::answerLate: {
            GSource* source = g_timeout_source_new(kSimLateAnswerMs);
            g_source_set_callback(source, lateAnswerArrives,
                                  new LateAnswer{&e, answer, requestIndex},
                                  [](gpointer late) { delete static_cast<LateAnswer*>(late); });
            g_source_attach(source, g_main_context_get_thread_default());
            e.lateAnswers.push_back(source);
            break;
        }
        case SimReply::vanishBeforeAnswer:
            // Wakes a waiting reader, whose read then finds the unit gone.
            queueAnswer(e, {}, kUnasked);
            break;
        case SimReply::silence:
        case SimReply::disconnected: break;
    }
    waitForTokens(e);
    umockdev_ioctl_client_complete(client, request->data_len, 0);
    return TRUE;
}

gboolean onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto& e = *static_cast<EmulatedUnit*>(data);
    std::lock_guard<std::mutex> hold(e.lock);
    // A vanished unit's node hangs up; the kernel fails the read.
    if (!e.unit.connected) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    if (e.answers.empty()) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }
    // The program's own read takes this report's token off the node; the report itself is put
    // in its buffer afterwards.
    int clientErrno = 0;
    GError* error = nullptr;
    umockdev_ioctl_client_execute(client, &clientErrno, &error);
    if (error != nullptr) {
        std::fprintf(stderr, "emulated unit: taking a token failed: %s\n", error->message);
        g_error_free(error);
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    const QueuedAnswer answer = std::move(e.answers.front());
    e.answers.pop_front();
    const std::size_t length =
        std::min(static_cast<std::size_t>(buffer->data_len), answer.bytes.size());
    std::memcpy(buffer->data, answer.bytes.data(), length);
    if (answer.requestIndex < e.unit.received.size())
        e.unit.received[answer.requestIndex].readAtMs = unitClockMs(e);
    umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
    return TRUE;
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto& e = *static_cast<EmulatedUnit*>(data);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    if (request == HIDIOCGRDESCSIZE) {
        UMockdevIoctlData* size = umockdev_ioctl_data_resolve(argument, 0, sizeof(int), &error);
        if (size == nullptr) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        const int descriptorSize = static_cast<int>(e.descriptor.size());
        std::memcpy(size->data, &descriptorSize, sizeof descriptorSize);
        g_object_unref(size);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    if (request == HIDIOCGRDESC) {
        UMockdevIoctlData* block =
            umockdev_ioctl_data_resolve(argument, 0, sizeof(hidraw_report_descriptor), &error);
        if (block == nullptr) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        auto* descriptor = reinterpret_cast<hidraw_report_descriptor*>(block->data);
        // As the kernel does: the caller's size says how much it wants.
        if (descriptor->size > HID_MAX_DESCRIPTOR_SIZE - 1) {
            g_object_unref(block);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        std::memcpy(descriptor->value, e.descriptor.data(),
                    std::min<std::size_t>(descriptor->size, e.descriptor.size()));
        g_object_unref(block);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

// Canonical mode: each read of the node's pty returns one token line at most.
bool oneTokenPerRead(int master) {
    termios modes{};
    if (tcgetattr(master, &modes) != 0) return false;
    modes.c_lflag |= ICANON;
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ISIG | IEXTEN);
    return tcsetattr(master, TCSANOW, &modes) == 0;
}

bool fail(const char* what) {
    std::fprintf(stderr, "emulated unit: %s: %s\n", what, std::strerror(errno));
    return false;
}

std::string nodeSysPath() {
    return std::string("/sys/devices/") + kHidDeviceName + "/hidraw/" + kHidrawDeviceName;
}

bool linkTo(const std::string& target, const std::string& directory, const std::string& name) {
    if (g_mkdir_with_parents(directory.c_str(), 0755) != 0) return false;
    return symlink(target.c_str(), (directory + "/" + name).c_str()) == 0;
}

// hidapi finds an open node's device by the number fstat() gives, and this umockdev does not
// translate fstat(): the node gets the number of the pty it really is, in its attributes and
// in the testbed's /sys/dev/char and /dev maps, so that stat() says the same.
bool numberNodeAsItsPty(EmulatedUnit& e) {
    struct stat pty {};
    if (stat(e.nodeTarget.c_str(), &pty) != 0) return false;
    const std::string majorNumber = std::to_string(major(pty.st_rdev));
    const std::string minorNumber = std::to_string(minor(pty.st_rdev));
    const std::string number = majorNumber + ":" + minorNumber;
    const std::string node = nodeSysPath();
    umockdev_testbed_set_attribute(e.testbed, node.c_str(), "dev", number.c_str());
    umockdev_testbed_set_property(e.testbed, node.c_str(), "MAJOR", majorNumber.c_str());
    umockdev_testbed_set_property(e.testbed, node.c_str(), "MINOR", minorNumber.c_str());
    gchar* root = umockdev_testbed_get_root_dir(e.testbed);
    const std::string rootDir = root;
    g_free(root);
    return linkTo("../../" + node.substr(std::strlen("/sys/")), rootDir + "/sys/dev/char",
                  number) &&
           linkTo(number, rootDir + "/dev/.node", kHidrawDeviceName);
}

std::string hex(const hiditems::Bytes& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        text += digits;
    }
    return text;
}

// The HID device and its hidraw node, as umockdev-record writes them. hidapi finds the unit by
// the HID device's HID_ID and reads the descriptor through the node's `device` link; the node
// without contents becomes a pty the handler serves.
std::string unitRecord(const SimUnit& unit, const hiditems::Bytes& descriptor) {
    char hidId[32];
    std::snprintf(hidId, sizeof hidId, "0003:0000%04X:0000%04X", kUnitVendorId, unit.productId);
    const char* name = unit.productId == kProductZelquad ? "ZELQUAD" : "TAVILINK";
    return std::string("P: /devices/") + kHidDeviceName + "\n" +
           "E: SUBSYSTEM=hid\n"
           "E: HID_ID=" +
           hidId + "\n" + "E: HID_NAME=" + name + "\n" +
           "E: HID_UNIQ=\n"
           "H: report_descriptor=" +
           hex(descriptor) +
           "\n"
           "\n"
           "P: /devices/" +
           kHidDeviceName + "/hidraw/" + kHidrawDeviceName + "\n" + "N: " + kHidrawDeviceName +
           "\n" + "E: DEVNAME=" + kNodeName + "\n" +
           "E: SUBSYSTEM=hidraw\n"
           "L: device=../..\n";
}

bool setUpNode(EmulatedUnit& e) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(e.testbed, unitRecord(e.unit, e.descriptor).c_str(),
                                          &error)) {
        std::fprintf(stderr, "emulated unit: adding the unit: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    e.master = umockdev_testbed_get_dev_fd(e.testbed, kNodeName);
    if (e.master < 0) return fail("finding the node's pty");
    if (!oneTokenPerRead(e.master)) return fail("setting the node's pty mode");
    const char* target = ptsname(e.master);
    if (target == nullptr) return fail("naming the node's pty");
    e.nodeTarget = target;
    if (!numberNodeAsItsPty(e)) return fail("numbering the node");
    e.watch =
        static_cast<int>(syscall(SYS_openat, AT_FDCWD, target, O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (e.watch < 0) return fail("opening the node's pty");

    e.handler = umockdev_ioctl_base_new();
    g_signal_connect(e.handler, "handle-ioctl", G_CALLBACK(onIoctl), &e);
    g_signal_connect(e.handler, "handle-read", G_CALLBACK(onRead), &e);
    g_signal_connect(e.handler, "handle-write", G_CALLBACK(onWrite), &e);
    if (!umockdev_testbed_attach_ioctl(e.testbed, kNodeName, e.handler, &error)) {
        std::fprintf(stderr, "emulated unit: attaching the handler: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    if (e.access == NodeAccess::denied && chmod(target, 0) != 0)
        return fail("taking the node's permissions away");
    return true;
}

// For a program run as root, which file permissions do not stop: without these two
// capabilities it is held to the node's permissions like any user.
void dropPermissionOverride() {
    prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

bool mentions(const char* list, const char* item) {
    return list != nullptr && std::strstr(list, item) != nullptr;
}

// This process's environment with the preload library and the sanitizer option added, each
// once.
std::vector<std::string> mockEnvironment() {
    std::vector<std::string> variables;
    const char* preload = std::getenv("LD_PRELOAD");
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string entry = *variable;
        if (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind("ASAN_OPTIONS=", 0) != 0)
            variables.push_back(entry);
    }
    std::string preloads = kPreloadLibrary;
    if (mentions(preload, kPreloadLibrary))
        preloads = preload;
    else if (preload != nullptr && *preload != '\0')
        preloads += std::string(":") + preload;
    std::string options = kSanitizerOrderOption;
    if (mentions(sanitizer, kSanitizerOrderOption))
        options = sanitizer;
    else if (sanitizer != nullptr && *sanitizer != '\0')
        options += std::string(":") + sanitizer;
    variables.push_back("LD_PRELOAD=" + preloads);
    variables.push_back("ASAN_OPTIONS=" + options);
    return variables;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& text : strings) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

void runUnderMockPreload(char** argv) {
    if (mentions(std::getenv("LD_PRELOAD"), kPreloadLibrary)) return;
    std::vector<std::string> variables = mockEnvironment();
    std::vector<char*> envp = pointersTo(variables);
    execve("/proc/self/exe", argv, envp.data());
    std::fprintf(stderr, "emulated unit: cannot run again under %s: %s\n", kPreloadLibrary,
                 std::strerror(errno));
    std::exit(EXIT_FAILURE);
}

EmulatedUnit* plugEmulatedUnit(const SimUnit& unit, NodeAccess access) {
    auto* e = new EmulatedUnit;
    e->unit = unit;
    e->access = access;
    e->descriptor =
        hiditems::unitReportDescriptor(unit.outputReportLength - 1, unit.inputReportLength - 1);
    e->pluggedAt = std::chrono::steady_clock::now();
    e->testbed = umockdev_testbed_new();
    if (!setUpNode(*e)) {
        unplugEmulatedUnit(e);
        return nullptr;
    }
    return e;
}

void unplugEmulatedUnit(EmulatedUnit* e) {
    if (e == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(e->lock);
        for (GSource* late : e->lateAnswers) {
            g_source_destroy(late);
            g_source_unref(late);
        }
        e->lateAnswers.clear();
    }
    if (e->testbed != nullptr) g_object_unref(e->testbed);
    if (e->handler != nullptr) g_object_unref(e->handler);
    // The testbed leaves its pty ends open; they are closed here so that runs do not pile up.
    if (e->watch >= 0) close(e->watch);
    if (e->master >= 0) close(e->master);
    delete e;
}

SimUnit emulatedUnitState(EmulatedUnit* e) {
    std::lock_guard<std::mutex> hold(e->lock);
    return e->unit;
}

ProgramRun runInMockEnvironment(EmulatedUnit* e, const std::vector<std::string>& command,
                                std::uint32_t boundMs) {
    ProgramRun run{false, -1, {}, {}};
    // Everything the child needs is made before fork: the handler's threads run on, and after
    // fork only the calls below are safe.
    std::vector<std::string> arguments = command;
    std::vector<std::string> variables = mockEnvironment();
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(variables);
    const bool denied = e->access == NodeAccess::denied;

    // Nothing to answer with: a program that asks must not wait on the test's own input.
    const int nothing =
        static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY | O_CLOEXEC));
    int output[2];
    int errors[2];
    if (nothing < 0) return run;
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(nothing);
        return run;
    }
    if (pipe2(errors, O_CLOEXEC) != 0) {
        close(nothing);
        close(output[0]);
        close(output[1]);
        return run;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(nothing, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(errors[1], STDERR_FILENO);
        if (denied) dropPermissionOverride();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(nothing);
    close(output[1]);
    close(errors[1]);
    if (child < 0) {
        close(output[0]);
        close(errors[0]);
        return run;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    pollfd ends[2] = {{output[0], POLLIN, 0}, {errors[0], POLLIN, 0}};
    std::string* texts[2] = {&run.output, &run.errors};
    int open = 2;
    bool killed = false;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            kill(child, SIGKILL);
            killed = true;
            break;
        }
        if (poll(ends, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || ends[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t got = read(ends[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                texts[i]->append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(ends[i].fd);
                ends[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& end : ends)
        if (end.fd >= 0) close(end.fd);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.ended = !killed;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}
