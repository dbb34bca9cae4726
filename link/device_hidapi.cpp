// The Linux device backend: hidapi's hidraw backend lists, opens and talks to the unit, and the
// report lengths come from the node's HID report descriptor, which hidapi does not interpret.
#include "link/device_io.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/programmer_link.h"
#include "link/report_descriptor.h"
#include "link/text_utf.h"

struct DeviceList {
    hid_device_info* first;
};

namespace {

struct HidrawDevice {
    hid_device* hid;
    // Our own descriptor of the node, holding the flock that keeps our others out; with
    // `keptClaim`, the kept claim's descriptor holds it instead.
    int claim;
    bool keptClaim;
    std::uint32_t descriptorSize;
    std::uint8_t descriptor[HID_MAX_DESCRIPTOR_SIZE];
    char node[PATH_MAX];
};

// A claim kept beyond its device's close: a descriptor of the node sharing the open file, and
// so the flock, of the device it was kept from. A flock belongs to the node that was opened,
// not to its path: once the unit is unplugged, the node behind the path is another one.
struct KeptClaim {
    int descriptor = -1;
    std::string node;
};
KeptClaim kept;

// The kernel keeps at most this many unread input reports per open node; dropping more than
// that would only eat reports that arrived while dropping.
constexpr int kMaxQueuedReports = 64;
// Longer than any report of the unit: a longer stale report is still taken off whole, and a
// report one byte longer than the device declares is seen as such (hidraw cuts a report to the
// buffer without a word).
constexpr std::size_t kReportRoomBytes = 256;
constexpr std::size_t kMaxPathBytes = PATH_MAX;
// hidapi fails a read without an errno when the node hangs up: the unit was unplugged.
constexpr int kHungUp = ENODEV;
constexpr long kNanosecondsPerMs = 1000000;
constexpr long kNanosecondsPerSecond = 1000000000;
constexpr std::uint64_t kMicrosecondsPerMs = 1000;
constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;
constexpr long kNanosecondsPerMicrosecond = 1000;

thread_local std::uint32_t lastError = 0;

HidrawDevice* asDevice(DeviceHandle device) { return static_cast<HidrawDevice*>(device); }

bool succeed() {
    lastError = 0;
    return true;
}

// hidapi reports failures as -1 or null and leaves errno as the system call left it; where
// no system call failed (a short write, a time-out, a record that cannot be built), the
// caller names the error instead.
bool failWith(int fallback) {
    lastError = static_cast<std::uint32_t>(errno != 0 ? errno : fallback);
    return false;
}

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec later(timespec from, std::uint32_t milliseconds) {
    from.tv_sec += milliseconds / 1000;
    from.tv_nsec += static_cast<long>(milliseconds % 1000) * kNanosecondsPerMs;
    if (from.tv_nsec >= kNanosecondsPerSecond) {
        from.tv_sec += 1;
        from.tv_nsec -= kNanosecondsPerSecond;
    }
    return from;
}

// An absolute deadline: a signal interrupts the sleep, and resuming it must neither cut the
// fixed pause short nor stretch it. A deadline already past returns at once.
void sleepUntil(const timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

int millisecondsUntil(timespec deadline) {
    const timespec now = monotonicNow();
    const long long left = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                           (deadline.tv_nsec - now.tv_nsec) / kNanosecondsPerMs;
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// One input report within `timeoutMs`: its length, 0 on time-out, -1 on failure. A signal
// arriving meanwhile (a resized terminal, a child ending) must not end the wait early and
// fail an update, so the wait resumes for the time that is left.
int readReport(hid_device* hid, std::uint8_t* report, std::size_t length, std::uint32_t timeoutMs) {
    const timespec deadline = later(monotonicNow(), timeoutMs);
    int waitMs = timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
    for (;;) {
        errno = 0;
        const int read = hid_read_timeout(hid, report, length, waitMs);
        if (read >= 0 || errno != EINTR) return read;
        waitMs = millisecondsUntil(deadline);
    }
}

// The node's path as the seam hands it out, allocated with malloc; null for a path that is not
// UTF-8 or longer than any the system takes. Strict, so that the path opens the same node again.
char16_t* seamPathOf(const char* node, std::uint32_t* units) {
    const std::size_t bytes = strnlen(node, kMaxPathBytes + 1);
    if (bytes == 0 || bytes > kMaxPathBytes) return nullptr;
    std::u16string decoded;
    if (!utf16FromUtf8(node, BrokenText::fail, decoded)) return nullptr;
    const std::size_t size = (decoded.size() + 1) * sizeof(char16_t);
    auto* path = static_cast<char16_t*>(std::malloc(size));
    if (path == nullptr) return nullptr;
    std::memcpy(path, decoded.c_str(), size);
    *units = static_cast<std::uint32_t>(decoded.size() + 1);
    return path;
}

// The seam's path back as the node's; false when it is not valid UTF-16, empty, or longer than
// any the system takes.
bool nodeOf(const char16_t* path, std::string& node) {
    return utf8FromUtf16(path, BrokenText::fail, node) && !node.empty() &&
           node.size() < kMaxPathBytes;
}

// The report descriptor of an open hidraw node, as the kernel gives it.
bool queryReportDescriptor(int node, hidraw_report_descriptor* descriptor) {
    int size = 0;
    if (ioctl(node, HIDIOCGRDESCSIZE, &size) != 0) return false;
    if (size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) {
        errno = EPROTO;
        return false;
    }
    descriptor->size = static_cast<std::uint32_t>(size);
    return ioctl(node, HIDIOCGRDESC, descriptor) == 0;
}

// True while the kept claim's descriptor and `node` are one and the same node that is still
// there: an unplugged hidraw node hangs up, and a node plugged in at the same path is a new one.
bool keptClaimHolds(int node) {
    pollfd look{kept.descriptor, 0, 0};
    if (poll(&look, 1, 0) < 0 || (look.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return false;
    struct stat keptNode {};
    struct stat opened {};
    return fstat(kept.descriptor, &keptNode) == 0 && fstat(node, &opened) == 0 &&
           keptNode.st_dev == opened.st_dev && keptNode.st_ino == opened.st_ino &&
           keptNode.st_rdev == opened.st_rdev;
}

void letGoOfKeptClaim() {
    if (kept.descriptor >= 0) close(kept.descriptor);
    kept = KeptClaim{};
}

// Opens the node through a file descriptor of our own, holds it for this program, and reads its
// report descriptor. Opening the node here also gives the exact reason it cannot be opened
// (EACCES without the udev rule), which hidapi's error path may overwrite, and proves it is a
// hidraw node before hidapi opens it: hidapi 0.13.1 writes into freed memory when a node
// refuses HIDIOCGRDESCSIZE. The descriptor stays open: its flock is what tells another of our
// programs that the unit is taken (every open hidraw handle gets every input report, so two
// programs talking to one unit would read each other's answers).
bool claimAndDescribe(const char* path, HidrawDevice* device) {
    errno = 0;
    const int node = open(path, O_RDWR | O_CLOEXEC);
    if (node < 0) return failWith(EIO);
    device->keptClaim = kept.descriptor >= 0 && kept.node == path && keptClaimHolds(node);
    if (!device->keptClaim && kept.node == path) letGoOfKeptClaim();
    if (!device->keptClaim && flock(node, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        failWith(EIO);  // before close() can change errno
        close(node);
        return false;
    }
    hidraw_report_descriptor descriptor{};
    if (!queryReportDescriptor(node, &descriptor)) {
        failWith(EIO);
        close(node);
        return false;
    }
    device->claim = node;
    std::snprintf(device->node, sizeof device->node, "%s", path);
    device->descriptorSize = descriptor.size;
    std::memcpy(device->descriptor, descriptor.value, descriptor.size);
    return true;
}

}  // namespace

DeviceList* deviceListOpen() {
    errno = 0;
    if (hid_init() != 0) {
        failWith(EIO);
        return nullptr;
    }
    auto* list = static_cast<DeviceList*>(std::malloc(sizeof(DeviceList)));
    if (list == nullptr) {
        failWith(ENOMEM);
        return nullptr;
    }
    // Only the unit's vendor: looking at every keyboard and mouse is pointless, and opening
    // them is usually denied. An empty answer is an empty list, not a failure.
    list->first = hid_enumerate(kUnitVendorId, 0);
    succeed();
    return list;
}

InterfacePath deviceListPath(DeviceList* list, std::uint32_t index, char16_t** path,
                             std::uint32_t* pathUnits) {
    const hid_device_info* info = list->first;
    for (std::uint32_t at = 0; info != nullptr && at < index; ++at) info = info->next;
    if (info == nullptr) return InterfacePath::end;
    if (info->path == nullptr) return InterfacePath::unreadable;
    char16_t* copy = seamPathOf(info->path, pathUnits);
    if (copy == nullptr) return InterfacePath::unreadable;
    *path = copy;
    return InterfacePath::found;
}

void deviceListClose(DeviceList* list) {
    if (list == nullptr) return;
    hid_free_enumeration(list->first);
    std::free(list);
}

DeviceHandle deviceOpen(const char16_t* path) {
    std::string narrow;
    if (!nodeOf(path, narrow)) {
        lastError = ENAMETOOLONG;
        return kNoDevice;
    }
    auto* device = static_cast<HidrawDevice*>(std::malloc(sizeof(HidrawDevice)));
    if (device == nullptr) {
        lastError = ENOMEM;
        return kNoDevice;
    }
    if (!claimAndDescribe(narrow.c_str(), device)) {
        std::free(device);
        return kNoDevice;
    }
    errno = 0;
    device->hid = hid_open_path(narrow.c_str());
    if (device->hid == nullptr) {
        failWith(EIO);
        close(device->claim);
        std::free(device);
        return kNoDevice;
    }
    succeed();
    return device;
}

bool deviceHeldElsewhere(std::uint32_t systemError) { return systemError == EBUSY; }

bool deviceAbsent(std::uint32_t systemError) { return systemError == ENOENT; }

void deviceKeepClaim(DeviceHandle device) {
    HidrawDevice* hidraw = asDevice(device);
    if (hidraw->keptClaim) return;
    const int descriptor = fcntl(hidraw->claim, F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0) return;
    letGoOfKeptClaim();
    kept.descriptor = descriptor;
    kept.node = hidraw->node;
    hidraw->keptClaim = true;
}

void deviceLetGoOfClaim() { letGoOfKeptClaim(); }

bool deviceSerialNumber(DeviceHandle device, char16_t* serial, std::uint32_t units) {
    if (units == 0) return false;
    const hid_device_info* info = hid_get_device_info(asDevice(device)->hid);
    if (info == nullptr || info->serial_number == nullptr || info->serial_number[0] == L'\0')
        return false;
    // hidapi's wide text is UTF-32 here; a serial number is plain ASCII in practice.
    std::uint32_t at = 0;
    for (const wchar_t* unit = info->serial_number; *unit != L'\0' && at + 1 < units; ++unit)
        serial[at++] = static_cast<std::uint32_t>(*unit) <= 0xFFFF ? static_cast<char16_t>(*unit)
                                                                   : u'?';
    serial[at] = u'\0';
    return true;
}

bool deviceAttributes(DeviceHandle device, std::uint16_t* vendorId, std::uint16_t* productId) {
    errno = 0;
    const hid_device_info* info = hid_get_device_info(asDevice(device)->hid);
    if (info == nullptr) return failWith(ENODEV);
    *vendorId = info->vendor_id;
    *productId = info->product_id;
    return succeed();
}

bool deviceReportLengths(DeviceHandle device, std::uint32_t* outputLength,
                         std::uint32_t* inputLength) {
    const HidrawDevice* hidraw = asDevice(device);
    if (!unitReportLengths(hidraw->descriptor, hidraw->descriptorSize, outputLength, inputLength)) {
        lastError = EPROTO;
        return false;
    }
    return succeed();
}

bool deviceDropInput(DeviceHandle device, std::uint32_t* dropped) {
    *dropped = 0;
    std::uint8_t stale[kReportRoomBytes];
    while (*dropped < kMaxQueuedReports) {
        const int read = readReport(asDevice(device)->hid, stale, sizeof stale, 0);
        if (read == 0) break;
        if (read < 0) return failWith(kHungUp);
        ++*dropped;
    }
    return succeed();
}

bool deviceWrite(DeviceHandle device, const std::uint8_t* report, std::uint32_t length) {
    // The kernel bounds the transfer itself (the USB driver gives up after a few seconds).
    int written;
    do {
        errno = 0;
        written = hid_write(asDevice(device)->hid, report, length);
    } while (written < 0 && errno == EINTR);
    if (written < 0) return failWith(EIO);
    if (static_cast<std::uint32_t>(written) != length) {
        lastError = EIO;
        return false;
    }
    return succeed();
}

bool deviceRead(DeviceHandle device, std::uint8_t* report, std::uint32_t length,
                std::uint32_t timeoutMs) {
    std::uint8_t whole[kReportRoomBytes];
    if (length >= sizeof whole) {
        lastError = EMSGSIZE;
        return false;
    }
    // One byte more than the report, so that a longer one shows.
    const int read = readReport(asDevice(device)->hid, whole, length + 1, timeoutMs);
    if (read < 0) return failWith(kHungUp);
    if (read == 0) {
        lastError = ETIMEDOUT;
        return false;
    }
    // A cut-short answer padded with zeros would read as a success: the unit's error marker
    // and code would be among the missing bytes.
    if (static_cast<std::uint32_t>(read) != length) {
        lastError = static_cast<std::uint32_t>(static_cast<std::uint32_t>(read) < length ? EPROTO
                                                                                    : EMSGSIZE);
        return false;
    }
    std::memcpy(report, whole, length);
    return succeed();
}

void deviceClose(DeviceHandle device) {
    hid_close(asDevice(device)->hid);
    close(asDevice(device)->claim);
    std::free(asDevice(device));
}

std::uint32_t lastSystemError() { return lastError; }

void pauseMs(std::uint32_t milliseconds) { sleepUntil(later(monotonicNow(), milliseconds)); }

std::uint64_t pauseClockUs() {
    const timespec now = monotonicNow();
    return static_cast<std::uint64_t>(now.tv_sec) * kMicrosecondsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec / kNanosecondsPerMicrosecond);
}

void pauseSince(std::uint64_t sinceUs, std::uint32_t milliseconds) {
    const std::uint64_t untilUs = sinceUs + milliseconds * kMicrosecondsPerMs;
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(untilUs / kMicrosecondsPerSecond);
    deadline.tv_nsec =
        static_cast<long>(untilUs % kMicrosecondsPerSecond) * kNanosecondsPerMicrosecond;
    sleepUntil(deadline);
}
