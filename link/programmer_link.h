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

// Closes the open link, if any, and forgets what it learnt.
void closeProgrammer();

// Views into the information blocks, of the link's record unless another is named.
std::uint16_t escFirmwareVersion(const ProgrammerLink& link = programmerLink);
void setEscFirmwareVersion(std::uint16_t version);
std::uint32_t escTypeId(const ProgrammerLink& link = programmerLink);
std::uint32_t escBootloaderVersion(const ProgrammerLink& link = programmerLink);
