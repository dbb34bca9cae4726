// What this updater is for: the one ESC model it accepts and the firmware version it carries.
#pragma once

#include <cstdint>

// Type IDs from the ESC's bootloader information block that the carried image fits.
constexpr std::uint32_t kSupportedEscTypeIds[] = {0x111F403C, 0x0A06403C};

// Shown in the window title and in the incompatibility notice, the same in every language.
constexpr wchar_t kSupportedEscTypeName[] = L"ZIRVANO 60 LV";

// Version of the carried image, major in the high byte: 3.3.
constexpr std::uint16_t kCarriedFirmwareVersion = 0x0303;
constexpr unsigned kCarriedFirmwareMajor = kCarriedFirmwareVersion >> 8;
constexpr unsigned kCarriedFirmwareMinor = kCarriedFirmwareVersion & 0xFF;

inline bool isSupportedEscType(std::uint32_t typeId) {
    for (std::uint32_t supported : kSupportedEscTypeIds)
        if (typeId == supported) return true;
    return false;
}
