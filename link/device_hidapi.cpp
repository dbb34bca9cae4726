// The Linux device backend: hidapi's hidraw backend lists, opens and talks to the unit, and the
// report lengths come from the node's HID report descriptor, which hidapi does not interpret.
#include "link/device_io.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "link/programmer_link.h"
#include "link/report_descriptor.h"

struct DeviceList {
    hid_device_info* first;
};

namespace {

struct HidrawDevice {
    hid_device* hid;
    int claim;  // our own descriptor of the node, holding the flock that keeps our others out
    std::uint32_t descriptorSize;
    std::uint8_t descriptor[HID_MAX_DESCRIPTOR_SIZE];
};

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

constexpr char32_t kSmallestOfLength[] = {0, 0x80, 0x800, 0x10000};  // by continuation bytes

// Decodes `bytes` bytes of UTF-8 into `path`, which has room for as many units; false for
// anything that is not UTF-8: stray or missing continuation bytes, overlong forms, surrogates,
// values past Unicode.
bool decodeUtf8(const char* text, std::size_t bytes, char16_t* path, std::size_t* units) {
    std::size_t out = 0;
    for (std::size_t at = 0; at < bytes;) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t extra = 0;
        char32_t code = lead;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else if (lead >= 0x80) {
            return false;
        }
        if (bytes - at - 1 < extra) return false;
        for (std::size_t i = 1; i <= extra; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        at += 1 + extra;
        if (code < kSmallestOfLength[extra] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF)
            return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            path[out++] = static_cast<char16_t>(0xD800 + (code >> 10));
            path[out++] = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            path[out++] = static_cast<char16_t>(code);
        }
    }
    *units = out;
    return true;
}

// UTF-8 to UTF-16, allocated with malloc; null for a path that is not UTF-8 or longer than any
// the system takes.
char16_t* utf16FromUtf8(const char* text, std::uint32_t* units) {
    const std::size_t bytes = strnlen(text, kMaxPathBytes + 1);
    if (bytes == 0 || bytes > kMaxPathBytes) return nullptr;
    // UTF-16 never needs more units than UTF-8 has bytes.
    auto* path = static_cast<char16_t*>(std::malloc((bytes + 1) * sizeof(char16_t)));
    if (path == nullptr) return nullptr;
    std::size_t decoded = 0;
    if (!decodeUtf8(text, bytes, path, &decoded)) {
        std::free(path);
        return nullptr;
    }
    path[decoded] = u'\0';
    *units = static_cast<std::uint32_t>(decoded + 1);
    return path;
}

// UTF-16 back to UTF-8 into `text` of `room` bytes; false when it does not fit or is not
// valid UTF-16.
bool utf8FromUtf16(const char16_t* path, char* text, std::size_t room) {
    std::size_t out = 0;
    for (std::size_t at = 0; path[at] != u'\0'; ++at) {
        char32_t code = path[at];
        if (code >= 0xD800 && code < 0xDC00) {
            const char32_t low = path[at + 1];
            if (low < 0xDC00 || low >= 0xE000) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++at;
        } else if (code >= 0xDC00 && code < 0xE000) {
            return false;
        }
        unsigned char encoded[4];
        std::size_t length = 0;
        if (code < 0x80) {
            encoded[length++] = static_cast<unsigned char>(code);
        } else if (code < 0x800) {
            encoded[length++] = static_cast<unsigned char>(0xC0 | (code >> 6));
            encoded[length++] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            encoded[length++] = static_cast<unsigned char>(0xE0 | (code >> 12));
            encoded[length++] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            encoded[length++] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        } else {
            encoded[length++] = static_cast<unsigned char>(0xF0 | (code >> 18));
            encoded[length++] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
            encoded[length++] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            encoded[length++] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        }
        if (room - out <= length) return false;
        std::memcpy(text + out, encoded, length);
        out += length;
    }
    text[out] = '\0';
    return out != 0;
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
    if (flock(node, LOCK_EX | LOCK_NB) != 0) {
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
    char16_t* copy = utf16FromUtf8(info->path, pathUnits);
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
    char narrow[kMaxPathBytes];
    if (!utf8FromUtf16(path, narrow, sizeof narrow)) {
        lastError = ENAMETOOLONG;
        return kNoDevice;
    }
    auto* device = static_cast<HidrawDevice*>(std::malloc(sizeof(HidrawDevice)));
    if (device == nullptr) {
        lastError = ENOMEM;
        return kNoDevice;
    }
    if (!claimAndDescribe(narrow, device)) {
        std::free(device);
        return kNoDevice;
    }
    errno = 0;
    device->hid = hid_open_path(narrow);
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

void pauseMs(std::uint32_t milliseconds) {
    // An absolute deadline: a signal interrupts the sleep, and resuming it must neither cut
    // the fixed pause short nor stretch it.
    const timespec deadline = later(monotonicNow(), milliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
