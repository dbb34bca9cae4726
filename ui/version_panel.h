// The version panel: the installed versions of the unit, the ESC bootloader and the ESC.
#pragma once

#include <cstdint>

// Rewrites the six controls of the panel from programmerLink.
void refreshVersionPanel();

// Room for the longest version text, "255.255.255", with plenty to spare.
constexpr int kVersionTextUnits = 32;

// The unit's version; a zero low byte means the version sits one byte higher.
void unitVersionText(std::uint32_t version, wchar_t (&text)[kVersionTextUnits]);
void bootloaderVersionText(std::uint32_t version, wchar_t (&text)[kVersionTextUnits]);
// Major in the high byte, minor in the low byte; 0xFFFF: the ESC holds no firmware.
void escVersionText(std::uint16_t version, wchar_t (&text)[kVersionTextUnits]);
