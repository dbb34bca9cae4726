// The platform edge of the link: HID interface listing, whole-report I/O and pauses.
//
// The protocol code reaches the device only through these free functions. The Windows build
// links link/device_win.cpp (SetupAPI, HID.DLL, overlapped file I/O); native tests link
// sim/sim_device.cpp, which serves in-process simulated units on a virtual clock.
#pragma once

#include <cstdint>

// Opaque device handle; kNoDevice has the bit pattern of the platform's INVALID_HANDLE_VALUE.
using DeviceHandle = void*;
inline DeviceHandle const kNoDevice = reinterpret_cast<DeviceHandle>(~std::uintptr_t{0});

struct DeviceList;  // a snapshot of the present HID interfaces

// Null when the list of present HID interfaces cannot be obtained.
DeviceList* deviceListOpen();

enum class InterfacePath { found, unreadable, end };
// On `found`, *path is a NUL-terminated UTF-16 path of *pathUnits units (terminator included),
// allocated with std::malloc and owned by the caller. `unreadable`: skip this index. `end`: no
// interface at this index or after it.
InterfacePath deviceListPath(DeviceList* list, std::uint32_t index, char16_t** path,
                             std::uint32_t* pathUnits);
void deviceListClose(DeviceList* list);

// kNoDevice when the path cannot be opened for reading and writing. An opened device is held
// for this program until deviceClose: while it is, another of our programs cannot open it, and
// its failure's system error makes deviceHeldElsewhere true. Other programs are not kept out.
DeviceHandle deviceOpen(const char16_t* path);
// True for the system error of a deviceOpen that failed because another of our programs holds
// the device.
bool deviceHeldElsewhere(std::uint32_t systemError);
// True for the system error of a deviceOpen that failed because nothing is at the path.
bool deviceAbsent(std::uint32_t systemError);
// Keeps the claim of the open `device` for this program after deviceClose, until
// deviceLetGoOfClaim or the program's end: a program that opens and closes a unit again and
// again (a series of looks) holds it in between, and its own deviceOpen of that path reuses
// the claim. Where the device behind the path is another one by then (unplugged and plugged
// in again), deviceOpen takes the claim anew. One claim is kept at a time: keeping another
// lets go of the one kept before.
void deviceKeepClaim(DeviceHandle device);
// Lets go of the kept claim; call it with no device of that path open.
void deviceLetGoOfClaim();
// The device's USB serial number, NUL-terminated and cut to `units` - 1 code units; false when
// it has none or it cannot be read.
bool deviceSerialNumber(DeviceHandle device, char16_t* serial, std::uint32_t units);
bool deviceAttributes(DeviceHandle device, std::uint16_t* vendorId, std::uint16_t* productId);
// Report lengths in bytes, report-ID byte included, from the HID capabilities.
bool deviceReportLengths(DeviceHandle device, std::uint32_t* outputLength,
                         std::uint32_t* inputLength);
// Drops every input report that arrived and was not read, so that the next read can only return
// one sent after this call. *dropped tells how many there were (at least 1 when any).
bool deviceDropInput(DeviceHandle device, std::uint32_t* dropped);
bool deviceWrite(DeviceHandle device, const std::uint8_t* report, std::uint32_t length);
// Waits at most timeoutMs for one input report of exactly `length` bytes; false on failure or
// time-out, and for a report shorter or longer than that: a cut-short answer is never padded
// into a whole one.
bool deviceRead(DeviceHandle device, std::uint8_t* report, std::uint32_t length,
                std::uint32_t timeoutMs);
void deviceClose(DeviceHandle device);

// The system error code of the last failing call (GetLastError on Windows).
std::uint32_t lastSystemError();
void pauseMs(std::uint32_t milliseconds);
// The clock pauses are timed on: microseconds, monotonic, from an arbitrary origin.
std::uint64_t pauseClockUs();
// Returns once `milliseconds` have passed since `sinceUs` on the pause clock; at once when they
// already have. A pause timed from the moment it should start, not from the moment it is asked
// for, so that the work done in between is inside it instead of added to it.
void pauseSince(std::uint64_t sinceUs, std::uint32_t milliseconds);
