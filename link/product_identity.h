// What this updater is for: the one ESC model it accepts and the firmware version it carries,
// the same for the window and the terminal flasher.
#pragma once

#include <cstdint>

// Shown in the window title and in the incompatibility notice, the same in every language.
constexpr wchar_t kSupportedEscTypeName[] = L"ZIRVANO 60 LV";

// The window's title and the page's: maker, ESC type, carried version, and a last argument left
// empty on purpose, so the title ends in a blank.
#define UPDATER_TITLE_FORMAT "TESSERAN %s FW Updater %u.%u %s"

// Version of the carried image, major in the high byte: 3.3.
constexpr std::uint16_t kCarriedFirmwareVersion = 0x0303;
constexpr unsigned kCarriedFirmwareMajor = kCarriedFirmwareVersion >> 8;
constexpr unsigned kCarriedFirmwareMinor = kCarriedFirmwareVersion & 0xFF;
