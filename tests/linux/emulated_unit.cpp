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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "link/programmer_link.h"

extern char** environ;

namespace {

constexpr const char* kHidrawName = "hidraw";
constexpr std::uint16_t kUsbBus = 3;
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
constexpr std::size_t kOutputChunkBytes = 4096;
// A program waiting for an answer reads a typed line within moments; one that does not is
// not waiting, and the line stays where it is.
constexpr std::chrono::milliseconds kLineTakenBound{10000};
constexpr std::chrono::milliseconds kLineTakenPollInterval{1};
constexpr std::size_t kEchoChunkBytes = 256;
// How often a signal sent to a program is looked for among its pending ones.
constexpr std::chrono::microseconds kSignalPollInterval{200};
constexpr std::size_t kStatusChunkBytes = 1024;
// How long what a program prints is taken in before its lines are counted again.
constexpr std::uint32_t kTextCountSliceMs = 20;
// How often a program whose output is not read is looked at for its end.
constexpr std::chrono::milliseconds kEndPollInterval{10};
constexpr int kHexBase = 16;

struct QueuedAnswer {
    std::vector<std::uint8_t> bytes;
    std::size_t requestIndex;  // in the unit's record; kSimUnasked for a report nobody asked for
};

// A HID device of the testbed and its hidraw node, as umockdev-record writes them.
struct NodeRecord {
    std::uint32_t number;  // hidrawN, and the HID device's instance number
    std::uint16_t vendorId;
    std::uint16_t productId;
    const char* name;
    hiditems::Bytes descriptor;
    std::string serialNumber;  // HID_UNIQ, which hidapi gives as the serial number
};

// The answers of a report the unit keeps back (SimUnit::holds) until the test releases them.
struct HeldAnswers {
    bool holding = false;
    std::vector<SimDelivery> deliveries;
};

}  // namespace

struct EmulatedUnit {
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    int master = -1;         // the node's other end, owned by the testbed
    int watch = -1;          // the node's own end, held only to see tokens arrive
    std::string nodeTarget;  // the pty the node links to
    bool anyNodeDenied = false;
    std::vector<int> otherMasters;  // the other devices' nodes' other ends
    std::uint32_t nodes = 0;
    std::chrono::steady_clock::time_point pluggedAt;
    hiditems::Bytes descriptor;

    std::mutex lock;  // the handler runs on umockdev's worker thread
    std::condition_variable changed;
    SimUnit unit;
    std::deque<QueuedAnswer> answers;
    std::vector<GSource*> lateAnswers;
    HeldAnswers held;
};

struct RunningProgram {
    pid_t child = -1;
    pollfd ends[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};  // its output and errors
    int open = 0;
    int terminal = -1;       // our end of its terminal
    int terminalInput = -1;  // its end, kept to see when it has read what was typed
    ProgramRun run{false, -1, 0, {}, {}};
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

// Sends `bytes` `delayMs` after now, in real time, from the handler's own thread.
void sendLater(EmulatedUnit& e, std::uint32_t delayMs, const std::vector<std::uint8_t>& bytes,
               std::size_t requestIndex) {
    GSource* source = g_timeout_source_new(delayMs);
    g_source_set_callback(source, lateAnswerArrives, new LateAnswer{&e, bytes, requestIndex},
                          [](gpointer late) { delete static_cast<LateAnswer*>(late); });
    g_source_attach(source, g_main_context_get_thread_default());
    e.lateAnswers.push_back(source);
}

// Carries what the unit sends for a report: at once, or later on the handler's own thread.
void deliver(EmulatedUnit& e, const std::vector<SimDelivery>& deliveries) {
    for (const SimDelivery& delivery : deliveries) {
        if (delivery.afterMs == 0)
            queueAnswer(e, delivery.bytes, delivery.answers);
        else
            sendLater(e, delivery.afterMs, delivery.bytes, delivery.answers);
    }
    waitForTokens(e);
}

gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto& e = *static_cast<EmulatedUnit*>(data);
    UMockdevIoctlData* request = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> hold(e.lock);
    const SimExchange exchange =
        simUnitExchange(e.unit, request->data, static_cast<std::uint32_t>(request->data_len),
                        unitClockMs(e));
    if (!exchange.taken) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    if (exchange.held) {
        e.held.holding = true;
        e.held.deliveries = exchange.deliveries;
        e.changed.notify_all();
    } else {
        deliver(e, exchange.deliveries);
    }
    // A unit gone after taking the report: a waiting reader wakes and finds the node hung up.
    if (exchange.vanished) {
        queueAnswer(e, {}, kSimUnasked);
        waitForTokens(e);
    }
    umockdev_ioctl_client_complete(client, static_cast<glong>(exchange.bytesTaken), 0);
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
    // As hidraw does: a report longer than the reader's buffer is cut to it without a word.
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

std::string hidDeviceName(const NodeRecord& node) {
    char name[32];
    std::snprintf(name, sizeof name, "%04X:%04X:%04X.%04X", kUsbBus, node.vendorId, node.productId,
                  node.number + 1);
    return name;
}

std::string hidrawName(const NodeRecord& node) { return kHidrawName + std::to_string(node.number); }

std::string devicePath(const NodeRecord& node) { return "/dev/" + hidrawName(node); }

std::string nodeSysPath(const NodeRecord& node) {
    return "/sys/devices/" + hidDeviceName(node) + "/hidraw/" + hidrawName(node);
}

std::string testbedRoot(const EmulatedUnit& e) {
    gchar* root = umockdev_testbed_get_root_dir(e.testbed);
    const std::string rootDir = root;
    g_free(root);
    return rootDir;
}

bool linkTo(const std::string& target, const std::string& directory, const std::string& name) {
    if (g_mkdir_with_parents(directory.c_str(), 0755) != 0) return false;
    return symlink(target.c_str(), (directory + "/" + name).c_str()) == 0;
}

// hidapi finds an open node's device by the number fstat() gives, and this umockdev does not
// translate fstat(): the node gets the number of the pty it really is, in its attributes and
// in the testbed's /sys/dev/char and /dev maps, so that stat() says the same.
bool numberNodeAsItsPty(EmulatedUnit& e, const NodeRecord& record, const std::string& target) {
    struct stat pty {};
    if (stat(target.c_str(), &pty) != 0) return false;
    const std::string majorNumber = std::to_string(major(pty.st_rdev));
    const std::string minorNumber = std::to_string(minor(pty.st_rdev));
    const std::string number = majorNumber + ":" + minorNumber;
    const std::string node = nodeSysPath(record);
    umockdev_testbed_set_attribute(e.testbed, node.c_str(), "dev", number.c_str());
    umockdev_testbed_set_property(e.testbed, node.c_str(), "MAJOR", majorNumber.c_str());
    umockdev_testbed_set_property(e.testbed, node.c_str(), "MINOR", minorNumber.c_str());
    const std::string rootDir = testbedRoot(e);
    return linkTo("../../" + node.substr(std::strlen("/sys/")), rootDir + "/sys/dev/char",
                  number) &&
           linkTo(number, rootDir + "/dev/.node", hidrawName(record));
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

// hidapi finds a device by the HID device's HID_ID and reads the descriptor through the node's
// `device` link; the node without contents becomes a pty.
std::string nodeRecordText(const NodeRecord& node) {
    char hidId[32];
    std::snprintf(hidId, sizeof hidId, "%04X:0000%04X:0000%04X", kUsbBus, node.vendorId,
                  node.productId);
    const std::string hid = hidDeviceName(node);
    const std::string hidraw = hidrawName(node);
    return "P: /devices/" + hid + "\n" +
           "E: SUBSYSTEM=hid\n"
           "E: HID_ID=" +
           hidId + "\n" + "E: HID_NAME=" + node.name + "\n" +
           "E: HID_UNIQ=" + node.serialNumber + "\n"
           "H: report_descriptor=" +
           hex(node.descriptor) +
           "\n"
           "\n"
           "P: /devices/" +
           hid + "/hidraw/" + hidraw + "\n" + "N: " + hidraw + "\n" +
           "E: DEVNAME=" + devicePath(node) + "\n" +
           "E: SUBSYSTEM=hidraw\n"
           "L: device=../..\n";
}

// Adds the device and its node; *master is the node's other end, *target the pty it is.
bool addNode(EmulatedUnit& e, const NodeRecord& record, NodeAccess access, int* master,
             std::string* target) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(e.testbed, nodeRecordText(record).c_str(), &error)) {
        std::fprintf(stderr, "emulated unit: adding a device: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    ++e.nodes;
    *master = umockdev_testbed_get_dev_fd(e.testbed, devicePath(record).c_str());
    if (*master < 0) return fail("finding the node's pty");
    const char* name = ptsname(*master);
    if (name == nullptr) return fail("naming the node's pty");
    *target = name;
    if (!numberNodeAsItsPty(e, record, *target)) return fail("numbering the node");
    if (access == NodeAccess::denied) {
        if (chmod(target->c_str(), 0) != 0) return fail("taking the node's permissions away");
        e.anyNodeDenied = true;
    }
    return true;
}

const char* unitName(const SimUnit& unit) {
    return unit.productId == kProductZelquad ? "ZELQUAD" : "TAVILINK";
}

bool setUpUnitNode(EmulatedUnit& e, NodeAccess access) {
    const NodeRecord record{0, kUnitVendorId, e.unit.productId, unitName(e.unit), e.descriptor,
                            e.unit.serialNumber};
    // Permissions come last: the handler is attached to a node that can still be opened.
    if (!addNode(e, record, NodeAccess::granted, &e.master, &e.nodeTarget)) return false;
    if (!oneTokenPerRead(e.master)) return fail("setting the node's pty mode");
    e.watch = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, e.nodeTarget.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (e.watch < 0) return fail("opening the node's pty");

    GError* error = nullptr;
    e.handler = umockdev_ioctl_base_new();
    g_signal_connect(e.handler, "handle-ioctl", G_CALLBACK(onIoctl), &e);
    g_signal_connect(e.handler, "handle-read", G_CALLBACK(onRead), &e);
    g_signal_connect(e.handler, "handle-write", G_CALLBACK(onWrite), &e);
    if (!umockdev_testbed_attach_ioctl(e.testbed, kUnitNode, e.handler, &error)) {
        std::fprintf(stderr, "emulated unit: attaching the handler: %s\n", error->message);
        g_error_free(error);
        return false;
    }
    if (access == NodeAccess::denied) {
        if (chmod(e.nodeTarget.c_str(), 0) != 0) return fail("taking the node's permissions away");
        e.anyNodeDenied = true;
    }
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

int openPlain(const char* path, int flags) {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC));
}

// A new terminal: *ours is the end the test types into, *theirs the program's. Plain system
// calls, for the same reason as above.
bool openTerminal(int* ours, int* theirs) {
    *ours = openPlain("/dev/ptmx", O_RDWR | O_NOCTTY);
    if (*ours < 0) return false;
    int unlock = 0;
    int number = 0;
    if (syscall(SYS_ioctl, *ours, TIOCSPTLCK, &unlock) != 0 ||
        syscall(SYS_ioctl, *ours, TIOCGPTN, &number) != 0) {
        close(*ours);
        return false;
    }
    *theirs = openPlain(("/dev/pts/" + std::to_string(number)).c_str(), O_RDWR | O_NOCTTY);
    if (*theirs < 0) {
        close(*ours);
        return false;
    }
    return true;
}

bool printed(const ProgramRun& run, const std::string& text) {
    return run.output.find(text) != std::string::npos || run.errors.find(text) != std::string::npos;
}

// Takes what the program prints until `deadline`, until both its ends close, or until `text`
// (when given) has appeared; true in the last case.
bool collect(RunningProgram& program, std::chrono::steady_clock::time_point deadline,
             const std::string* text) {
    std::string* texts[2] = {&program.run.output, &program.run.errors};
    while (program.open > 0) {
        if (text != nullptr && printed(program.run, *text)) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        if (poll(program.ends, 2, static_cast<int>(left)) < 0 && errno != EINTR) return false;
        for (int i = 0; i < 2; ++i) {
            pollfd& end = program.ends[i];
            if (end.fd < 0 || end.revents == 0) continue;
            char chunk[kOutputChunkBytes];
            const ssize_t got = read(end.fd, chunk, sizeof chunk);
            if (got > 0) {
                texts[i]->append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(end.fd);
                end.fd = -1;
                --program.open;
            }
        }
    }
    return text != nullptr && printed(program.run, *text);
}

std::chrono::steady_clock::time_point after(std::uint32_t boundMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
}

// The masks /proc gives for the process's pending signals: those sent to it as a whole and
// those of its main thread. Read with plain system calls, for the same reason as above.
bool signalPending(pid_t child, int signal) {
    const std::string path = "/proc/" + std::to_string(child) + "/status";
    const int file = openPlain(path.c_str(), O_RDONLY);
    if (file < 0) return false;  // gone: nothing is pending for it any more
    std::string status;
    char chunk[kStatusChunkBytes];
    ssize_t got = 0;
    while ((got = read(file, chunk, sizeof chunk)) > 0)
        status.append(chunk, static_cast<std::size_t>(got));
    close(file);
    const unsigned long long bit = 1ull << (signal - 1);
    for (const char* field : {"\nShdPnd:", "\nSigPnd:"}) {
        const std::size_t at = status.find(field);
        if (at == std::string::npos) continue;
        const unsigned long long mask =
            std::strtoull(status.c_str() + at + std::strlen(field), nullptr, kHexBase);
        if ((mask & bit) != 0) return true;
    }
    return false;
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

EmulatedUnit* plugEmulatedUnit(const SimUnit& unit, NodeAccess access,
                               const hiditems::Bytes& descriptor) {
    auto* e = new EmulatedUnit;
    e->unit = unit;
    e->descriptor = !descriptor.empty()
                        ? descriptor
                        : hiditems::unitReportDescriptor(unit.outputReportLength - 1,
                                                         unit.inputReportLength - 1);
    e->pluggedAt = std::chrono::steady_clock::now();
    e->testbed = umockdev_testbed_new();
    if (!setUpUnitNode(*e, access)) {
        unplugEmulatedUnit(e);
        return nullptr;
    }
    return e;
}

bool plugOtherDevice(EmulatedUnit* e, std::uint16_t vendorId, std::uint16_t productId,
                     NodeAccess access) {
    // A plain vendor collection: nothing looks into it.
    const NodeRecord record{e->nodes, vendorId, productId, "OTHER",
                            hiditems::unitReportDescriptor(7, 7), ""};
    int master = -1;
    std::string target;
    const bool added = addNode(*e, record, access, &master, &target);
    if (master >= 0) e->otherMasters.push_back(master);
    return added;
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
    for (int master : e->otherMasters) close(master);
    delete e;
}

void unplugUnitNode(EmulatedUnit* e) {
    std::lock_guard<std::mutex> hold(e->lock);
    e->unit.connected = false;
    e->answers.clear();
    const std::string root = testbedRoot(*e);
    const std::string node = std::string(kUnitNode).substr(std::strlen("/dev/"));
    unlink((root + kUnitNode).c_str());
    unlink((root + "/dev/.node/" + node).c_str());
    // Its open descriptors hang up, as a vanished hidraw node's do.
    close(e->watch);
    close(e->master);
    e->watch = -1;
    e->master = -1;
}

bool plugUnitNodeAgain(EmulatedUnit* e, const SimUnit& unit) {
    std::lock_guard<std::mutex> hold(e->lock);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return fail("a new pty");
    const char* name = ptsname(master);
    if (name == nullptr || !oneTokenPerRead(master)) return fail("setting up the new pty");
    e->master = master;
    e->nodeTarget = name;
    const NodeRecord record{0, kUnitVendorId, unit.productId, unitName(unit), e->descriptor,
                            unit.serialNumber};
    if (symlink(e->nodeTarget.c_str(), (testbedRoot(*e) + kUnitNode).c_str()) != 0)
        return fail("linking the node to its new pty");
    if (!numberNodeAsItsPty(*e, record, e->nodeTarget)) return fail("numbering the node");
    e->watch = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, e->nodeTarget.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (e->watch < 0) return fail("opening the new pty");
    e->unit = unit;
    e->pluggedAt = std::chrono::steady_clock::now();
    return true;
}

SimUnit emulatedUnitState(EmulatedUnit* e) {
    std::lock_guard<std::mutex> hold(e->lock);
    return e->unit;
}

void swapEmulatedEsc(EmulatedUnit* e, const SimEsc& esc) {
    std::lock_guard<std::mutex> hold(e->lock);
    simConnectEsc(e->unit, esc);
}

void faultAhead(EmulatedUnit* e, std::uint8_t command, std::uint32_t ahead, SimFaultKind kind,
                std::uint32_t code) {
    std::lock_guard<std::mutex> hold(e->lock);
    e->unit.faults.push_back({command, e->unit.commandCounts[command] + ahead, kind, code});
}

void cutWrite(EmulatedUnit* e, const WriteCut& cut) {
    std::lock_guard<std::mutex> hold(e->lock);
    e->unit.faults.push_back({cut.command, cut.occurrence, SimFaultKind::cutWrite, cut.bytesTaken});
}

void holdAnswer(EmulatedUnit* e, std::uint8_t command, std::uint32_t occurrence) {
    std::lock_guard<std::mutex> hold(e->lock);
    e->held = HeldAnswers{};
    e->unit.holds = {{command, occurrence}};
}

bool waitForHeldAnswer(EmulatedUnit* e, std::uint32_t boundMs) {
    std::unique_lock<std::mutex> hold(e->lock);
    return e->changed.wait_until(hold, after(boundMs), [e] { return e->held.holding; });
}

void releaseHeldAnswer(EmulatedUnit* e) {
    std::lock_guard<std::mutex> hold(e->lock);
    deliver(*e, e->held.deliveries);
    e->held = HeldAnswers{};
    e->unit.holds.clear();
}

void releaseHeldAnswerAndHold(EmulatedUnit* e, std::uint8_t command, std::uint32_t occurrence) {
    std::lock_guard<std::mutex> hold(e->lock);
    deliver(*e, e->held.deliveries);
    e->held = HeldAnswers{};
    e->unit.holds = {{command, occurrence}};
}

RunningProgram* startInMockEnvironment(EmulatedUnit* e, const std::vector<std::string>& command,
                                       ProgramInput input) {
    // Everything the child needs is made before fork: the handler's threads run on, and after
    // fork only the calls below are safe.
    std::vector<std::string> arguments = command;
    std::vector<std::string> variables = mockEnvironment();
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(variables);
    const bool denied = e->anyNodeDenied;

    auto* program = new RunningProgram;
    int theirInput = -1;
    const bool terminal = input != ProgramInput::nothing;
    if (terminal) {
        if (!openTerminal(&program->terminal, &theirInput)) {
            delete program;
            return nullptr;
        }
    } else {
        // Nothing to answer with: a program that asks must not wait on the test's own input.
        theirInput = openPlain("/dev/null", O_RDONLY);
    }
    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    if (theirInput < 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
        for (int end : {theirInput, program->terminal, output[0], output[1], errors[0], errors[1]})
            if (end >= 0) close(end);
        delete program;
        return nullptr;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(theirInput, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(input == ProgramInput::terminalForErrorsToo ? theirInput : errors[1], STDERR_FILENO);
        if (denied) dropPermissionOverride();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (terminal)
        program->terminalInput = theirInput;
    else
        close(theirInput);
    close(output[1]);
    close(errors[1]);
    if (child < 0) {
        close(output[0]);
        close(errors[0]);
        if (program->terminal >= 0) close(program->terminal);
        if (program->terminalInput >= 0) close(program->terminalInput);
        delete program;
        return nullptr;
    }
    program->child = child;
    program->ends[0].fd = output[0];
    program->ends[1].fd = errors[0];
    program->open = 2;
    return program;
}

bool waitForText(RunningProgram* program, const std::string& text, std::uint32_t boundMs) {
    return collect(*program, after(boundMs), &text);
}

bool waitForTextTimes(RunningProgram* program, const std::string& text, std::size_t times,
                      std::uint32_t boundMs) {
    auto count = [&text](const std::string& in) {
        std::size_t found = 0;
        for (std::size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1))
            ++found;
        return found;
    };
    const auto deadline = after(boundMs);
    for (;;) {
        if (count(program->run.output) + count(program->run.errors) >= times) return true;
        if (program->open == 0 || std::chrono::steady_clock::now() >= deadline) return false;
        collect(*program, std::min(deadline, after(kTextCountSliceMs)), nullptr);
    }
}

void typeLine(RunningProgram* program, const std::string& line) {
    const std::string typed = line + "\n";
    const ssize_t written = write(program->terminal, typed.data(), typed.size());
    (void)written;
    // Closing the terminal drops what is typed and not yet read, so the line must be taken
    // first. A new terminal echoes (its default), and it does so once the line has reached its
    // input queue; from then on its count of unread bytes tells whether the program has read it.
    const auto deadline = std::chrono::steady_clock::now() + kLineTakenBound;
    std::string echoed;
    while (echoed.find('\n') == std::string::npos) {
        pollfd ours{program->terminal, POLLIN, 0};
        if (poll(&ours, 1, static_cast<int>(kLineTakenPollInterval.count())) > 0) {
            char chunk[kEchoChunkBytes];
            const ssize_t got = read(program->terminal, chunk, sizeof chunk);
            if (got <= 0) return;
            echoed.append(chunk, static_cast<std::size_t>(got));
        }
        if (std::chrono::steady_clock::now() >= deadline) return;
    }
    int unread = 0;
    while (syscall(SYS_ioctl, program->terminalInput, FIONREAD, &unread) == 0 && unread > 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kLineTakenPollInterval);
}

void signalProgram(RunningProgram* program, int signal) { kill(program->child, signal); }

void closeTerminal(RunningProgram* program) {
    for (int* end : {&program->terminal, &program->terminalInput}) {
        if (*end >= 0) close(*end);
        *end = -1;
    }
}

void closeOutput(RunningProgram* program) {
    for (pollfd& end : program->ends) {
        if (end.fd >= 0) close(end.fd);
        end.fd = -1;
    }
    program->open = 0;
}

int programProcessId(const RunningProgram* program) { return program->child; }

bool waitForSignalTaken(RunningProgram* program, int signal, std::uint32_t boundMs) {
    const auto deadline = after(boundMs);
    while (signalPending(program->child, signal)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kSignalPollInterval);
    }
    return true;
}

ProgramRun finishProgram(RunningProgram* program, std::uint32_t boundMs) {
    // A terminal that goes away is the end of the answers a program can get.
    if (program->terminal >= 0) close(program->terminal);
    if (program->terminalInput >= 0) close(program->terminalInput);
    const auto deadline = after(boundMs);
    collect(*program, deadline, nullptr);
    // One whose output nobody reads any more ends within the bound as well, or never.
    int status = 0;
    bool killed = program->open > 0;
    while (!killed && waitpid(program->child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            killed = true;
            break;
        }
        std::this_thread::sleep_for(kEndPollInterval);
    }
    if (killed) kill(program->child, SIGKILL);
    for (pollfd& end : program->ends)
        if (end.fd >= 0) close(end.fd);
    if (killed)
        while (waitpid(program->child, &status, 0) < 0 && errno == EINTR) {
        }
    ProgramRun run = std::move(program->run);
    delete program;
    run.ended = !killed;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}

ProgramRun runInMockEnvironment(EmulatedUnit* e, const std::vector<std::string>& command,
                                std::uint32_t boundMs) {
    RunningProgram* program = startInMockEnvironment(e, command);
    if (program == nullptr) return ProgramRun{false, -1, 0, {}, {}};
    return finishProgram(program, boundMs);
}
