#include "cli/text_encoding.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kHighSurrogateFirst = 0xD800;
constexpr char32_t kLowSurrogateFirst = 0xDC00;
constexpr char32_t kSurrogateEnd = 0xE000;
constexpr char32_t kFirstSupplementary = 0x10000;
constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr unsigned kSurrogateBits = 10;
constexpr char32_t kSurrogatePayload = 0x3FF;

bool isHighSurrogate(char32_t unit) {
    return unit >= kHighSurrogateFirst && unit < kLowSurrogateFirst;
}
bool isLowSurrogate(char32_t unit) { return unit >= kLowSurrogateFirst && unit < kSurrogateEnd; }

void appendUtf8(std::string& out, char32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < kFirstSupplementary) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

void appendUtf16(std::u16string& out, char32_t point) {
    if (point < kFirstSupplementary) {
        out += static_cast<char16_t>(point);
        return;
    }
    point -= kFirstSupplementary;
    out += static_cast<char16_t>(kHighSurrogateFirst + (point >> kSurrogateBits));
    out += static_cast<char16_t>(kLowSurrogateFirst + (point & kSurrogatePayload));
}

// Lead byte: how many bytes follow and the bits it carries; 0 follow for an invalid lead.
struct Lead {
    int follow;
    char32_t bits;
    char32_t smallest;  // below this the sequence is overlong
};

Lead leadOf(unsigned char byte) {
    if (byte < 0x80) return {0, byte, 0};
    if ((byte & 0xE0) == 0xC0) return {1, byte & 0x1Fu, 0x80};
    if ((byte & 0xF0) == 0xE0) return {2, byte & 0x0Fu, 0x800};
    if ((byte & 0xF8) == 0xF0) return {3, byte & 0x07u, kFirstSupplementary};
    return {-1, 0, 0};
}

}  // namespace

std::string utf8FromUtf16(const char16_t* text) {
    std::string out;
    for (const char16_t* p = text; *p != u'\0'; ++p) {
        char32_t point = *p;
        if (isHighSurrogate(point) && isLowSurrogate(p[1])) {
            point = kFirstSupplementary + ((point - kHighSurrogateFirst) << kSurrogateBits) +
                    (static_cast<char32_t>(p[1]) - kLowSurrogateFirst);
            ++p;
        } else if (isHighSurrogate(point) || isLowSurrogate(point)) {
            point = kReplacement;
        }
        appendUtf8(out, point);
    }
    return out;
}

std::u16string utf16FromUtf8(const char* text) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const Lead lead = leadOf(*p++);
        char32_t point = lead.bits;
        int taken = 0;
        for (; taken < lead.follow && (*p & 0xC0) == 0x80; ++taken)
            point = (point << 6) | (*p++ & 0x3Fu);
        const bool whole = lead.follow >= 0 && taken == lead.follow;
        if (!whole || point < lead.smallest || point > kLastCodePoint ||
            (point >= kHighSurrogateFirst && point < kSurrogateEnd))
            point = kReplacement;
        appendUtf16(out, point);
    }
    return out;
}
