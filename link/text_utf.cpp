#include "link/text_utf.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kNotText = 0xFFFFFFFF;  // what a broken sequence decodes to
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

// Lead byte: how many continuation bytes follow (-1 for a byte that leads nothing), the bits it
// carries, and the smallest value its length may encode (below it the form is overlong).
struct Lead {
    int follow;
    char32_t bits;
    char32_t smallest;
};

Lead leadOf(unsigned char byte) {
    if (byte < 0x80) return {0, byte, 0};
    if ((byte & 0xE0) == 0xC0) return {1, byte & 0x1Fu, 0x80};
    if ((byte & 0xF0) == 0xE0) return {2, byte & 0x0Fu, 0x800};
    if ((byte & 0xF8) == 0xF0) return {3, byte & 0x07u, kFirstSupplementary};
    return {-1, 0, 0};
}

// The code point at `p`, which moves past the bytes it used: a broken sequence uses its lead and
// the continuation bytes that did follow, so the next character after it is still read.
char32_t nextFromUtf8(const unsigned char*& p) {
    const Lead lead = leadOf(*p++);
    char32_t point = lead.bits;
    int taken = 0;
    for (; taken < lead.follow && (*p & 0xC0) == 0x80; ++taken) point = (point << 6) | (*p++ & 0x3Fu);
    if (lead.follow < 0 || taken != lead.follow || point < lead.smallest || point > kLastCodePoint ||
        (point >= kHighSurrogateFirst && point < kSurrogateEnd))
        return kNotText;
    return point;
}

char32_t nextFromUtf16(const char16_t*& p) {
    const char32_t unit = *p++;
    if (isHighSurrogate(unit) && isLowSurrogate(*p))
        return kFirstSupplementary + ((unit - kHighSurrogateFirst) << kSurrogateBits) +
               (static_cast<char32_t>(*p++) - kLowSurrogateFirst);
    return isHighSurrogate(unit) || isLowSurrogate(unit) ? kNotText : unit;
}

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

// False when a broken sequence fails the conversion; otherwise it stands as U+FFFD.
bool admit(char32_t& point, BrokenText broken) {
    if (point != kNotText) return true;
    point = kReplacement;
    return broken == BrokenText::replace;
}

}  // namespace

bool utf8FromUtf16(const char16_t* text, BrokenText broken, std::string& out) {
    out.clear();
    for (const char16_t* p = text; *p != u'\0';) {
        char32_t point = nextFromUtf16(p);
        if (!admit(point, broken)) return false;
        appendUtf8(out, point);
    }
    return true;
}

bool utf16FromUtf8(const char* text, BrokenText broken, std::u16string& out) {
    out.clear();
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
        char32_t point = nextFromUtf8(p);
        if (!admit(point, broken)) return false;
        appendUtf16(out, point);
    }
    return true;
}

std::string utf8FromUtf16(const char16_t* text) {
    std::string out;
    utf8FromUtf16(text, BrokenText::replace, out);
    return out;
}

std::u16string utf16FromUtf8(const char* text) {
    std::u16string out;
    utf16FromUtf8(text, BrokenText::replace, out);
    return out;
}
