// How the three versions and the unit's name read, the same in the window and on a terminal.
#pragma once

#include <cstdint>

constexpr int kVersionTextChars = 32;

// Bits 24 to 31, 8 to 15 and 0 to 7 ("1.2.0" or "2.5"); a unit version whose low byte is zero
// is shifted down first.
void unitVersionText(std::uint32_t version, char (&text)[kVersionTextChars]);
void bootloaderVersionText(std::uint32_t version, char (&text)[kVersionTextChars]);
// "major.minor", or a row of dashes when the ESC holds no firmware.
void escVersionText(std::uint16_t version, char (&text)[kVersionTextChars]);

// "ZELQUAD" for product 1, "TAVILINK" otherwise.
const char* unitName(std::uint16_t productId);
