// Device paths come from the seam in UTF-16 and go to the terminal in UTF-8, and back for --unit.
#pragma once

#include <string>

// Unpaired surrogates and invalid UTF-8 become U+FFFD.
std::string utf8FromUtf16(const char16_t* text);
std::u16string utf16FromUtf8(const char* text);
