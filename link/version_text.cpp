#include "link/version_text.h"

#include <cstdio>
#include <cstring>

#include "link/programmer_link.h"

namespace {

constexpr char kNoEscFirmwareText[] = "----------";

// Bits 24 to 31, 8 to 15 and 0 to 7; bits 16 to 23 are never shown, and a zero top part is left
// out.
void threePartText(std::uint32_t version, char (&text)[kVersionTextChars]) {
    const unsigned a = (version >> 24) & 0xFF;
    const unsigned b = (version >> 8) & 0xFF;
    const unsigned c = version & 0xFF;
    if (a != 0)
        std::snprintf(text, sizeof text, "%u.%u.%u", a, b, c);
    else
        std::snprintf(text, sizeof text, "%u.%u", b, c);
}

}  // namespace

void unitVersionText(std::uint32_t version, char (&text)[kVersionTextChars]) {
    if ((version & 0xFF) == 0) version >>= 8;
    threePartText(version, text);
}

void bootloaderVersionText(std::uint32_t version, char (&text)[kVersionTextChars]) {
    threePartText(version, text);
}

void escVersionText(std::uint16_t version, char (&text)[kVersionTextChars]) {
    if (version == kNoEscFirmware) {
        std::snprintf(text, sizeof text, "%s", kNoEscFirmwareText);
        return;
    }
    std::snprintf(text, sizeof text, "%u.%u", static_cast<unsigned>(version >> 8),
                  static_cast<unsigned>(version & 0xFF));
}

const char* unitName(std::uint16_t productId) {
    return productId == kProductZelquad ? "ZELQUAD" : "TAVILINK";
}
