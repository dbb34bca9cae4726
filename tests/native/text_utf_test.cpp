// UTF-8 and UTF-16 both ways: valid text comes back exactly; broken text fails the strict
// conversion (device paths) and shows as U+FFFD in the lenient one (text for the terminal).
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "link/text_utf.h"

namespace {

// Both directions through one pair of overloads, so that one check serves both tables.
bool convert(const std::string& text, BrokenText broken, std::u16string& out) {
    return utf16FromUtf8(text.c_str(), broken, out);
}
bool convert(const std::u16string& text, BrokenText broken, std::string& out) {
    return utf8FromUtf16(text.c_str(), broken, out);
}
std::u16string lenientForm(const std::string& text) { return utf16FromUtf8(text.c_str()); }
std::string lenientForm(const std::u16string& text) { return utf8FromUtf16(text.c_str()); }

template <typename From, typename To>
struct Conversion {
    const char* name;
    From text;
    bool valid;
    To lenient;  // the strict result as well where the text is valid
};

using FromUtf8 = Conversion<std::string, std::u16string>;
using FromUtf16 = Conversion<std::u16string, std::string>;

template <typename From, typename To, std::size_t count>
void expectConversions(const Conversion<From, To> (&cases)[count]) {
    for (const Conversion<From, To>& c : cases) {
        SCOPED_TRACE(c.name);
        // Filled beforehand: a conversion starts its result afresh.
        To strict = c.lenient;
        EXPECT_EQ(convert(c.text, BrokenText::fail, strict), c.valid);
        if (c.valid) {
            EXPECT_EQ(strict, c.lenient);
            // A device path goes back unit for unit, byte for byte.
            From back;
            EXPECT_TRUE(convert(strict, BrokenText::fail, back));
            EXPECT_EQ(back, c.text);
        }
        To lenient = c.lenient;
        EXPECT_TRUE(convert(c.text, BrokenText::replace, lenient));
        EXPECT_EQ(lenient, c.lenient);
        EXPECT_EQ(lenientForm(c.text), c.lenient);
    }
}

const FromUtf8 kFromUtf8[] = {
    {"Empty", "", true, u""},
    {"Ascii", "/dev/hidraw0", true, u"/dev/hidraw0"},
    {"TwoBytes", "\xC3\xA4", true, u"\u00E4"},
    {"ThreeBytes", "\xE2\x82\xAC", true, u"\u20AC"},
    {"FourBytesBecomeASurrogatePair", "\xF0\x9F\x98\x80", true, u"\xD83D\xDE00"},
    {"LastCodePoint", "\xF4\x8F\xBF\xBF", true, u"\xDBFF\xDFFF"},
    {"OverlongSlash", "a\xC0\xAF" "b", false, u"a\uFFFDb"},
    {"OverlongThreeBytes", "\xE0\x80\xAF", false, u"\uFFFD"},
    {"OverlongFourBytes", "\xF0\x8F\xBF\xBF", false, u"\uFFFD"},
    {"EncodedHighSurrogate", "\xED\xA0\x80", false, u"\uFFFD"},
    {"EncodedLowSurrogate", "\xED\xBF\xBF", false, u"\uFFFD"},
    {"PastLastCodePoint", "\xF4\x90\x80\x80", false, u"\uFFFD"},
    {"StrayContinuationByte", "a\x80" "b", false, u"a\uFFFDb"},
    {"ByteThatLeadsNothing", "\xFF" "a", false, u"\uFFFDa"},
    {"CutShortAtTheEnd", "a\xE2\x82", false, u"a\uFFFD"},
    // The character after a cut-short sequence is still read.
    {"CutShortBeforeAscii", "\xE2\x82" "z", false, u"\uFFFDz"},
    {"CutShortBeforeALead", "\xF0\x9F\xC3\xA4", false, u"\uFFFD\u00E4"},
};

const FromUtf16 kFromUtf16[] = {
    {"Empty", u"", true, ""},
    {"Ascii", u"\\\\?\\hid#vid_f0e1", true, "\\\\?\\hid#vid_f0e1"},
    {"TwoBytes", u"\u00E4", true, "\xC3\xA4"},
    {"ThreeBytes", u"\u20AC", true, "\xE2\x82\xAC"},
    {"SurrogatePair", u"\xD83D\xDE00", true, "\xF0\x9F\x98\x80"},
    {"LastCodePoint", u"\xDBFF\xDFFF", true, "\xF4\x8F\xBF\xBF"},
    {"LoneHighSurrogateAtTheEnd", u"a\xD800", false, "a\xEF\xBF\xBD"},
    // The unit after a lone high surrogate is still read.
    {"LoneHighSurrogateBeforeAscii", u"\xD800z", false, "\xEF\xBF\xBDz"},
    {"LoneLowSurrogate", u"\xDC00z", false, "\xEF\xBF\xBDz"},
    {"PairInTheWrongOrder", u"\xDC00\xD800", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},
};

TEST(TextUtf, Utf8ToUtf16) { expectConversions(kFromUtf8); }

TEST(TextUtf, Utf16ToUtf8) { expectConversions(kFromUtf16); }

}  // namespace
