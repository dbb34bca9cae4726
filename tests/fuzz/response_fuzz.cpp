// Feeds arbitrary bytes as the unit's answers: identification and the judging of every command
// must neither crash nor read or write out of bounds, whatever the unit says.
//
// Input: byte 0 picks the announced report lengths, byte 1 the product ID; the rest is cut into
// answers, one per read. When the input runs out, reads fail like a silent unit.
//
// tests/fuzz/seeds holds a complete ready identification and one input for each of the unit's
// error answers, so that the deep parsers (the ESC bootloader information decides whether
// flashing is allowed) are reached from the first second. At exit the harness prints how many
// answers, and error answers among them, each command's parser was given.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/commands.h"
#include "link/device_io.h"
#include "link/identify.h"
#include "link/open_link.h"
#include "link/programmer_link.h"

struct DeviceList {};

namespace {

const std::uint8_t* input;
std::size_t inputLeft;
DeviceList theList;
const char16_t kPath[] = u"fuzz";
std::uint32_t announcedOutput;
std::uint32_t announcedInput;
std::uint16_t productId;

// Per command code: answers handed to its parser, and error answers among them.
std::uint8_t lastCommand;
std::uint64_t answersGiven[256];
std::uint64_t errorAnswersGiven[256];

struct Parser {
    Command command;
    const char* name;
};

const Parser kParsers[] = {
    {Identify, "Identify"},
    {ReadUnitMemory, "ReadUnitMemory"},
    {ReadEscMemory, "ReadEscMemory"},
    {ReadEscBootInfo, "ReadEscBootInfo"},
    {SystemLock, "SystemLock"},
    {WriteProtect, "WriteProtect"},
    {EraseFirmware, "EraseFirmware"},
    {SetWriteAddress, "SetWriteAddress"},
    {WriteDataBlock, "WriteDataBlock"},
};

// What identification concluded, per LinkReadiness value: `ready` needs a supported type ID
// from the ESC bootloader information, which blind mutation seldom hits.
std::uint64_t readinessSeen[5];
const char* const kReadinessNames[] = {"noUnit", "wrongMode", "noUpdatableEsc", "incompatibleEsc",
                                       "ready"};

// The closing lines of a run: a parser never given an answer was not fuzzed at all.
void reportReach() {
    int unreached = 0;
    for (std::size_t i = 0; i < sizeof readinessSeen / sizeof readinessSeen[0]; ++i) {
        std::printf("fuzz reach: outcome %-16s %10llu\n", kReadinessNames[i],
                    static_cast<unsigned long long>(readinessSeen[i]));
        if (readinessSeen[i] == 0) ++unreached;
    }
    for (const Parser& parser : kParsers) {
        std::printf("fuzz reach: %-16s %10llu answers, %10llu error answers\n", parser.name,
                    static_cast<unsigned long long>(answersGiven[parser.command]),
                    static_cast<unsigned long long>(errorAnswersGiven[parser.command]));
        if (answersGiven[parser.command] == 0 || errorAnswersGiven[parser.command] == 0)
            ++unreached;
    }
    if (unreached == 0)
        std::printf(
            "fuzz reach: every parser reached, with normal and error answers, and every outcome\n");
    else
        std::printf("fuzz reach: %d parsers or outcomes NOT reached\n", unreached);
}

std::uint32_t pickLength(std::uint8_t selector) {
    static const std::uint32_t lengths[] = {60, 1, 4, 8, 16, 44, 52, 59, 61, 64, 65, 255, 0};
    return lengths[selector % (sizeof lengths / sizeof lengths[0])];
}

}  // namespace

DeviceList* deviceListOpen() { return &theList; }

InterfacePath deviceListPath(DeviceList*, std::uint32_t index, char16_t** path,
                             std::uint32_t* pathUnits) {
    if (index > 0) return InterfacePath::end;
    *path = static_cast<char16_t*>(std::malloc(sizeof kPath));
    std::memcpy(*path, kPath, sizeof kPath);
    *pathUnits = sizeof kPath / sizeof kPath[0];
    return InterfacePath::found;
}

void deviceListClose(DeviceList*) {}
DeviceHandle deviceOpen(const char16_t*) { return &theList; }

bool deviceAttributes(DeviceHandle, std::uint16_t* vendorId, std::uint16_t* product) {
    *vendorId = kUnitVendorId;
    *product = productId;
    return true;
}

bool deviceReportLengths(DeviceHandle, std::uint32_t* outputLength, std::uint32_t* inputLength) {
    *outputLength = announcedOutput;
    *inputLength = announcedInput;
    return true;
}

bool deviceHeldElsewhere(std::uint32_t) { return false; }

bool deviceDropInput(DeviceHandle, std::uint32_t* dropped) {
    *dropped = 0;
    return true;
}

bool deviceWrite(DeviceHandle, const std::uint8_t* report, std::uint32_t length) {
    // Touch every byte the link claims to send, so the sanitizer sees an overrun.
    volatile std::uint8_t sink = 0;
    for (std::uint32_t i = 0; i < length; ++i) sink = sink ^ report[i];
    lastCommand = length > 1 ? report[1] : 0;
    return true;
}

bool deviceRead(DeviceHandle, std::uint8_t* report, std::uint32_t length, std::uint32_t) {
    if (inputLeft == 0) return false;
    const std::size_t take = length < inputLeft ? length : inputLeft;
    std::memcpy(report, input, take);
    input += take;
    inputLeft -= take;
    ++answersGiven[lastCommand];
    if (length > 1 && report[1] == kErrorAnswer) ++errorAnswersGiven[lastCommand];
    return true;
}

void deviceClose(DeviceHandle) {}
std::uint32_t lastSystemError() { return 0; }
void pauseMs(std::uint32_t) {}
std::uint64_t pauseClockUs() { return 0; }
void pauseSince(std::uint64_t, std::uint32_t) {}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(reportReach);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    announcedOutput = pickLength(data[0]);
    announcedInput = pickLength(data[0] >> 4);
    productId = data[1] & 3;
    input = data + 2;
    inputLeft = size - 2;

    resetProgrammerLink();
    openProgrammer();
    ++readinessSeen[static_cast<int>(linkReadiness())];
    if (linkIsOpen()) {
        // Every command's judging, whatever identification concluded.
        std::uint8_t block[kMaxDataBytes] = {};
        std::uint32_t sent = 0;
        lockUnit();
        removeWriteProtection();
        eraseFirmware();
        setWriteAddress();
        writeDataBlock(block, 12, &sent);
        writeDataBlock(block, 14, &sent);
        restoreWriteProtection();
        releaseUnitLock();
        escFirmwareVersion();
        escTypeId();
    }
    closeProgrammer();
    return 0;
}
