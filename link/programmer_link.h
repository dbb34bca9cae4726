// ProgrammerLink: the one record of the open programming unit and what identification learnt.
#pragma once

#include <cstdint>

#include "link/device_io.h"
#include "link/link_result.h"

constexpr std::uint16_t kUnitVendorId = 0xF0E1;
constexpr std::uint16_t kProductZelquad = 1;
constexpr std::uint16_t kProductTavilink = 2;

constexpr std::uint16_t kEscStateUpdatable = 3;  // the ESC bootloader answers
constexpr std::uint16_t kNoEscFirmware = 0xFFFF;

// Where the versions and the type sit in the ESC's information blocks.
constexpr std::uint32_t kEscFirmwareVersionOffset = 4;  // in escInfo
constexpr std::uint32_t kEscTypeIdOffset = 0;           // in escBootInfo
constexpr std::uint32_t kEscBootloaderVersionOffset = 4;

// Type IDs from the ESC's bootloader information block that the carried image fits.
constexpr std::uint32_t kSupportedEscTypeIds[] = {0x111F403C, 0x0A06403C};

struct BootIdentity {
    std::uint8_t first;
    std::uint16_t second;
    std::uint32_t third;
    std::uint32_t fourth;
    std::uint8_t fifth;
};

struct ProgrammerLink {
    DeviceHandle handle;
    char16_t* devicePath;
    std::uint32_t outputReportLength;
    std::uint32_t inputReportLength;
    std::uint8_t unitInBootloader;
    std::uint32_t unitFirmwareVersion;
    std::uint32_t unitInfoWord;
    std::uint16_t escState;
    std::uint16_t escStateDetail;
    BootIdentity bootIdentity;
    std::uint8_t escInfo[32];
    std::uint8_t escBootInfo[40];
    std::uint16_t usbProductId;
    bool identified;  // identification of this link returned success
};

extern ProgrammerLink programmerLink;

// Zeroes every field after `handle` and marks the link closed, without touching the device.
void resetProgrammerLink();
bool linkIsOpen();

// Closes any link, finds the first programming unit among the present HID interfaces, opens it
// and identifies it. A unit whose identification fails stays open; the caller decides.
// kLinkInUse when no unit could be opened and one of them is held by another of our programs.
LinkResult openProgrammer();
// The same for one interface path: -4 when it cannot be opened or is no programming unit,
// kLinkInUse when another of our programs holds it.
LinkResult openProgrammerAt(const char16_t* path);
void closeProgrammer();

// Runs once per openProgrammer, right after the device was opened.
LinkResult identifyProgrammer();
// The identification requests alone, on the open link, with what they learn written into `into`
// (its identification fields start from zero): asking the unit again what is behind it now.
LinkResult askIdentity(ProgrammerLink& into);

// What the open link allows, judged from what its identification learnt; the first that holds
// decides. Only `ready` may be written to.
enum class LinkReadiness { noUnit, wrongMode, noUpdatableEsc, incompatibleEsc, ready };
LinkReadiness linkReadiness();
LinkReadiness linkReadinessOf(const ProgrammerLink& link);
bool isSupportedEscType(std::uint32_t typeId);

// The same unit (product, mode, version) with the same ESC behind it (state, type, bootloader
// and firmware versions), as far as identification can tell: another ESC of the same type with
// the same versions cannot be told apart.
bool sameUnitAndEsc(const ProgrammerLink& a, const ProgrammerLink& b);

// Views into the information blocks, of the link's record unless another is named.
std::uint16_t escFirmwareVersion(const ProgrammerLink& link = programmerLink);
void setEscFirmwareVersion(std::uint16_t version);
std::uint32_t escTypeId(const ProgrammerLink& link = programmerLink);
std::uint32_t escBootloaderVersion(const ProgrammerLink& link = programmerLink);
