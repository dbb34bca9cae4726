// UTF-8 and UTF-16 both ways, as strict as the text needs: a device path must come back exactly
// as the system gave it, text for a person may show U+FFFD where the input was broken.
#pragma once

#include <string>

// What a sequence that is no valid text does: fail the whole conversion, or become U+FFFD.
enum class BrokenText { fail, replace };

// False only with BrokenText::fail, for a lone surrogate; `out` then holds nothing useful.
bool utf8FromUtf16(const char16_t* text, BrokenText broken, std::string& out);
// False only with BrokenText::fail, for bytes that are no UTF-8: a stray or missing continuation
// byte, an overlong form, an encoded surrogate, a value past U+10FFFF.
bool utf16FromUtf8(const char* text, BrokenText broken, std::u16string& out);

// Text for a person: broken sequences become U+FFFD.
std::string utf8FromUtf16(const char16_t* text);
std::u16string utf16FromUtf8(const char* text);
