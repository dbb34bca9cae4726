// The program's resources as the platform's loader sees them: message catalogue and dialog
// templates in English and German, logo, icon, manifest and firmware image. This test program
// links the same resource object as the shipped executable, so its own module carries them.
#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/shared/catalogue_texts.h"
#include "tests/shared/update_facts.h"

namespace {

constexpr LANGID english = MAKELANGID(LANG_ENGLISH, SUBLANG_NEUTRAL);  // 0x0009
constexpr LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);     // 0x0407
constexpr LANGID englishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID french = MAKELANGID(LANG_FRENCH, SUBLANG_FRENCH);
constexpr int textBufferUnits = 2048;

HMODULE self() { return GetModuleHandleW(nullptr); }

struct Bytes {
  const std::uint8_t* data = nullptr;
  DWORD size = 0;
};

Bytes resourceBytes(HRSRC found) {
  if (!found) return {};
  HGLOBAL loaded = LoadResource(self(), found);
  return {static_cast<const std::uint8_t*>(LockResource(loaded)), SizeofResource(self(), found)};
}

Bytes resource(LPCWSTR type, LPCWSTR name, LANGID language) {
  return resourceBytes(FindResourceExW(self(), type, name, language));
}

std::wstring languageName(LANGID language) {
  wchar_t hex[8];
  std::swprintf(hex, 8, L"%04x", language);
  return hex;
}

// Runs the calling thread under one user-interface language and restores the previous one.
// Both settings, because loaders differ in which of the two they consult.
class UiLanguage {
 public:
  explicit UiLanguage(LANGID language)
      : previousUi_(GetThreadUILanguage()), previousLocale_(GetThreadLocale()) {
    SetThreadUILanguage(language);
    SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
  }
  ~UiLanguage() {
    SetThreadUILanguage(previousUi_);
    SetThreadLocale(previousLocale_);
  }
  UiLanguage(const UiLanguage&) = delete;
  UiLanguage& operator=(const UiLanguage&) = delete;

 private:
  LANGID previousUi_;
  LCID previousLocale_;
};

// Little-endian reader over resource bytes; reading past the end yields zeros and clears ok.
class Reader {
 public:
  Reader(Bytes bytes) : begin_(bytes.data), p_(bytes.data), end_(bytes.data + bytes.size) {}
  std::uint8_t u8() { return need(1) ? *p_++ : 0; }
  std::uint16_t u16() {
    if (!need(2)) return 0;
    const std::uint16_t v = static_cast<std::uint16_t>(p_[0] | p_[1] << 8);
    p_ += 2;
    return v;
  }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | static_cast<std::uint32_t>(u16()) << 16;
  }
  std::int16_t s16() { return static_cast<std::int16_t>(u16()); }
  std::wstring text() {
    std::wstring s;
    while (ok_) {
      const wchar_t c = u16();
      if (c == 0) break;
      s += c;
    }
    return s;
  }
  // A name-or-ordinal field of a dialog template: 0xFFFF and a number, or a string.
  std::wstring nameOrOrdinal() {
    if (need(2) && p_[0] == 0xFF && p_[1] == 0xFF) {
      u16();
      return L"#" + std::to_wstring(u16());
    }
    return text();
  }
  void alignTo4() {
    while ((p_ - begin_) % 4 != 0 && ok_) u8();
  }
  void skip(std::size_t n) {
    if (need(n)) p_ += n;
  }
  bool ok() const { return ok_; }
  bool atEnd() const { return p_ == end_; }

 private:
  bool need(std::size_t n) {
    if (ok_ && static_cast<std::size_t>(end_ - p_) >= n) return true;
    ok_ = false;
    return false;
  }
  const std::uint8_t* begin_;
  const std::uint8_t* p_;
  const std::uint8_t* end_;
  bool ok_ = true;
};

// ---------------------------------------------------------------------------------------------
// Message catalogue

using handwritten::absentCatalogueIds;

LANGID languageId(handwritten::Language language) {
  return language == handwritten::Language::german ? german : english;
}

std::set<unsigned> writtenIds() {
  std::set<unsigned> ids;
  for (const handwritten::CatalogueEntry& entry : handwritten::catalogueEntries) ids.insert(entry.id);
  return ids;
}

BOOL CALLBACK collectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
  if (IS_INTRESOURCE(name))
    reinterpret_cast<std::set<unsigned>*>(param)->insert(static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(name)));
  return TRUE;
}

BOOL CALLBACK collectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  reinterpret_cast<std::set<LANGID>*>(param)->insert(language);
  return TRUE;
}

std::set<unsigned> resourceNames(LPCWSTR type) {
  std::set<unsigned> names;
  EnumResourceNamesW(self(), type, collectName, reinterpret_cast<LONG_PTR>(&names));
  return names;
}

std::set<LANGID> resourceLanguages(LPCWSTR type, unsigned id) {
  std::set<LANGID> languages;
  EnumResourceLanguagesW(self(), type, MAKEINTRESOURCEW(id), collectLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

// Every non-empty text of one language, read from the string-table blocks themselves:
// block n holds IDs (n - 1) * 16 to (n - 1) * 16 + 15, each a length and that many units.
std::map<unsigned, std::wstring> catalogue(LANGID language) {
  std::map<unsigned, std::wstring> texts;
  for (unsigned block : resourceNames(RT_STRING)) {
    Reader r(resource(RT_STRING, MAKEINTRESOURCEW(block), language));
    for (unsigned i = 0; i < 16 && r.ok(); ++i) {
      std::wstring text(r.u16(), L'\0');
      for (wchar_t& c : text) c = r.u16();
      if (!text.empty()) texts[(block - 1) * 16 + i] = text;
    }
  }
  return texts;
}

std::wstring loadString(unsigned id) {
  std::vector<wchar_t> buffer(textBufferUnits, L'\x7f');
  const int n = LoadStringW(self(), id, buffer.data(), textBufferUnits);
  return std::wstring(buffer.data(), n > 0 ? n : 0);
}

std::size_t occurrences(const std::wstring& text, const std::wstring& piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::wstring::npos; at = text.find(piece, at + 1)) ++count;
  return count;
}

class CatalogueLanguage : public testing::TestWithParam<LANGID> {};

TEST_P(CatalogueLanguage, HoldsExactlyTheCatalogueIds) {
  std::set<unsigned> ids;
  for (const auto& entry : catalogue(GetParam())) ids.insert(entry.first);
  EXPECT_EQ(ids, writtenIds());
  for (unsigned id : absentCatalogueIds) EXPECT_EQ(ids.count(id), 0u) << id;
}

TEST_P(CatalogueLanguage, EveryTextLoadsWholeThroughLoadString) {
  UiLanguage ui(GetParam());
  for (const auto& entry : catalogue(GetParam())) {
    SCOPED_TRACE(entry.first);
    EXPECT_LT(entry.second.size(), static_cast<std::size_t>(textBufferUnits - 1));
    EXPECT_EQ(loadString(entry.first), entry.second);
  }
}

TEST_P(CatalogueLanguage, AbsentIdsLoadNothing) {
  UiLanguage ui(GetParam());
  for (unsigned id : absentCatalogueIds) EXPECT_EQ(loadString(id), L"") << id;
}

// The trap of the resource compiler: UTF-8 read as single bytes turns ä into "Ã¤" and ™ into "â„¢".
TEST_P(CatalogueLanguage, NoTextCarriesUtf8ReadAsSingleBytes) {
  for (const auto& entry : catalogue(GetParam()))
    EXPECT_EQ(entry.second.find_first_of(L"\u00c2\u00c3\u00e2"), std::wstring::npos) << entry.first;
}

TEST_P(CatalogueLanguage, IncompatibleTextHasOnePlaceForTheType) {
  const std::wstring text = catalogue(GetParam())[IDS_INCOMPATIBLE_TEXT];
  EXPECT_EQ(occurrences(text, L"%"), 1u);
  EXPECT_EQ(occurrences(text, L"%s"), 1u);
  std::vector<wchar_t> filled(textBufferUnits);
  ASSERT_EQ(StringCchPrintfW(filled.data(), filled.size(), text.c_str(), L"ZIRVANO 60 LV"), S_OK);
  EXPECT_EQ(occurrences(filled.data(), L"'ZIRVANO 60 LV'"), 1u);
}

TEST_P(CatalogueLanguage, ErrorCodeLineHasTwoEightDigitHexNumbers) {
  const std::wstring text = catalogue(GetParam())[IDS_ERROR_CODE_LINE];
  EXPECT_EQ(occurrences(text, L"%"), 2u);
  EXPECT_EQ(occurrences(text, L"0x%08x-0x%08x"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Resources, CatalogueLanguage, testing::Values(english, german),
                         [](const testing::TestParamInfo<LANGID>& info) {
                           return info.param == english ? "English" : "German";
                         });

TEST(Catalogue, UsesTheFourBlocksInBothLanguagesOnly) {
  EXPECT_EQ(resourceNames(RT_STRING), (std::set<unsigned>{2501, 2502, 2503, 3751}));
  for (unsigned block : {2501u, 2502u, 2503u, 3751u})
    EXPECT_EQ(resourceLanguages(RT_STRING, block), (std::set<LANGID>{english, german})) << block;
}

TEST(Catalogue, LoadStringFollowsTheUserInterfaceLanguage) {
  struct Case {
    LANGID ui;
    handwritten::Language shown;
  } cases[] = {{englishUs, handwritten::Language::english}, {german, handwritten::Language::german}};
  for (const Case& c : cases) {
    UiLanguage ui(c.ui);
    EXPECT_EQ(loadString(IDS_UPDATE_FAILED_CAPTION),
              handwritten::catalogueText(IDS_UPDATE_FAILED_CAPTION, c.shown))
        << languageName(c.ui);
  }
}

TEST(Catalogue, ErrorCodeLineShowsResultAndSystemErrorAsTwosComplementHex) {
  const std::wstring format = catalogue(english)[IDS_ERROR_CODE_LINE];
  wchar_t line[textBufferUnits];
  ASSERT_EQ(StringCchPrintfW(line, textBufferUnits, format.c_str(), static_cast<unsigned>(-3), 31u), S_OK);
  EXPECT_STREQ(line, L"The system shows following errorcode: 0xfffffffd-0x0000001f");
}

TEST(Catalogue, GermanInstructionsAreTheLongestText) {
  std::size_t longest = 0;
  for (LANGID language : {english, german})
    for (const auto& entry : catalogue(language)) longest = std::max(longest, entry.second.size());
  const std::wstring instructions = catalogue(german)[IDS_STEPS];
  EXPECT_EQ(instructions.size(), longest);
  EXPECT_EQ(instructions.size(), 782u);
}

TEST(Catalogue, EnglishStepsTwoToFourStartWithASpace) {
  const std::wstring steps = catalogue(english)[IDS_STEPS];
  EXPECT_EQ(steps.rfind(L"1.)\r\n", 0), 0u);
  for (const wchar_t* step : {L"\r\n\r\n 2.)\r\nConnect", L"\r\n\r\n 3.)\r\n Now", L"\r\n\r\n 4.)\r\n If"})
    EXPECT_EQ(occurrences(steps, step), 1u) << step;
}

TEST(Catalogue, GermanLettersAndTradeMarkAreSingleUnits) {
  const std::wstring steps = catalogue(german)[IDS_STEPS];
  for (const wchar_t* word : {L"Empf\u00e4nger", L"ben\u00f6tigt", L"anschlie\u00dfend", L"m\u00fcssen",
                              L"Windows\u2122PC"})
    EXPECT_EQ(occurrences(steps, word), 1u) << word;
  EXPECT_EQ(steps.rfind(L"1.)\r\n", 0), 0u);
  for (const wchar_t* step : {L"\r\n\r\n2.)\r\n", L"\r\n\r\n3.)\r\n", L"\r\n\r\n4.)\r\n"})
    EXPECT_EQ(occurrences(steps, step), 1u);
}

struct Wording {
  unsigned id;
  handwritten::Language language;
};

// One row per ID and language of the catalogue as written down by hand.
std::vector<Wording> everyWording() {
  std::vector<Wording> rows;
  for (const handwritten::CatalogueEntry& entry : handwritten::catalogueEntries)
    for (handwritten::Language language : {handwritten::Language::english, handwritten::Language::german})
      rows.push_back({entry.id, language});
  return rows;
}

std::string wordingName(const Wording& w) {
  return std::string(w.language == handwritten::Language::german ? "German" : "English") + std::to_string(w.id);
}

void PrintTo(const Wording& w, std::ostream* os) { *os << wordingName(w); }

class CatalogueWording : public testing::TestWithParam<Wording> {};

// Exact to the unit: CR LF runs, doubled and missing spaces, typographic quotes, the web address.
TEST_P(CatalogueWording, StoredTextIsTheWrittenOne) {
  const std::wstring stored = catalogue(languageId(GetParam().language))[GetParam().id];
  const std::wstring written = handwritten::catalogueText(GetParam().id, GetParam().language);
  EXPECT_EQ(stored, written);
}

INSTANTIATE_TEST_SUITE_P(Resources, CatalogueWording, testing::ValuesIn(everyWording()),
                         [](const testing::TestParamInfo<Wording>& info) { return wordingName(info.param); });

// ---------------------------------------------------------------------------------------------
// Dialog templates

struct DialogControl {
  std::uint32_t helpId = 0, exStyle = 0, style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::int32_t id = 0;
  std::wstring windowClass, text;
  std::uint16_t extraBytes = 0;
};

struct Dialog {
  bool extended = false;
  std::uint32_t helpId = 0, exStyle = 0, style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::wstring menu, windowClass, caption;
  std::uint16_t pointSize = 0, weight = 0;
  std::uint8_t italic = 0, charset = 0;
  std::wstring typeface;
  std::vector<DialogControl> controls;
  bool wellFormed = false;
};

// Class atoms of the predefined controls, as the platform's resource compiler stores them.
std::wstring className(const std::wstring& stored) {
  if (stored == L"#128") return L"Button";
  if (stored == L"#129") return L"Edit";
  if (stored == L"#130") return L"Static";
  return stored;
}

bool sameClass(const std::wstring& stored, const wchar_t* expected) {
  return lstrcmpiW(className(stored).c_str(), expected) == 0;
}

// Reads DLGTEMPLATEEX or DLGTEMPLATE with its items.
Dialog parseDialog(Bytes bytes) {
  Dialog d;
  Reader r(bytes);
  if (!bytes.data) return d;
  const std::uint16_t version = r.u16();
  const std::uint16_t signature = r.u16();
  d.extended = version == 1 && signature == 0xFFFF;
  if (d.extended) {
    d.helpId = r.u32();
    d.exStyle = r.u32();
    d.style = r.u32();
  } else {
    r = Reader(bytes);
    d.style = r.u32();
    d.exStyle = r.u32();
  }
  const std::uint16_t count = r.u16();
  d.x = r.s16();
  d.y = r.s16();
  d.cx = r.s16();
  d.cy = r.s16();
  d.menu = r.nameOrOrdinal();
  d.windowClass = r.nameOrOrdinal();
  d.caption = r.text();
  if (d.style & DS_SETFONT) {
    d.pointSize = r.u16();
    if (d.extended) {
      d.weight = r.u16();
      d.italic = r.u8();
      d.charset = r.u8();
    }
    d.typeface = r.text();
  }
  for (unsigned i = 0; i < count && r.ok(); ++i) {
    r.alignTo4();
    DialogControl c;
    if (d.extended) {
      c.helpId = r.u32();
      c.exStyle = r.u32();
      c.style = r.u32();
    } else {
      c.style = r.u32();
      c.exStyle = r.u32();
    }
    c.x = r.s16();
    c.y = r.s16();
    c.cx = r.s16();
    c.cy = r.s16();
    c.id = d.extended ? static_cast<std::int32_t>(r.u32()) : r.s16();
    c.windowClass = r.nameOrOrdinal();
    c.text = r.nameOrOrdinal();
    c.extraBytes = r.u16();
    r.skip(c.extraBytes);
    d.controls.push_back(c);
  }
  d.wellFormed = r.ok();
  return d;
}

struct MainDialogControl {
  std::int32_t id;
  const wchar_t* windowClass;
  const wchar_t* englishText;
  const wchar_t* germanText;
  std::uint32_t style, exStyle;
  std::int16_t x, y, cx, cy;
};

const MainDialogControl mainDialogControls[] = {
    {IDC_CLOSE, L"Button", L"Close", L"Beenden", 0x50030001, 0, 157, 199, 50, 14},
    {IDC_UPDATE, L"Button", L"Update", L"Update", 0x58010000, 0, 61, 199, 50, 14},
    {IDC_LABEL_UNIT, L"Static", L"Firmware 1:", L"Firmware 1:", 0x50020000, 0, 22, 24, 60, 8},
    {IDC_LABEL_ESC_BOOTLOADER, L"Static", L"Firmware 2:", L"Firmware 2:", 0x50020000, 0, 22, 37, 60, 8},
    {IDC_VALUE_UNIT, L"Static", L"0.00.00", L"0.00.00", 0x50020000, WS_EX_RIGHT, 90, 24, 50, 8},
    {IDC_VALUE_ESC_BOOTLOADER, L"Static", L"0.00.00", L"0.00.00", 0x50020000, WS_EX_RIGHT, 90, 37, 50, 8},
    {IDC_HINT, L"Edit", L"", L"", 0x50A00844, 0, 15, 89, 271, 101},
    {-1, L"Static", L"Hint:", L"Hinweisfenster:", 0x50020000, 0, 15, 79, 49, 8},
    {IDC_VERSION_GROUP, L"Button", L"Installed firmware version", L"Installierte Firmware Versionen", 0x50020007, 0,
     15, 10, 135, 57},
    {IDC_LABEL_ESC, L"Static", L"Firmware 3:", L"Firmware 3:", 0x50020000, 0, 22, 50, 60, 8},
    {IDC_VALUE_ESC, L"Static", L"0.00.00", L"0.00.00", 0x50020000, WS_EX_RIGHT, 90, 50, 50, 8},
};

class MainDialogTemplate : public testing::TestWithParam<LANGID> {
 protected:
  Dialog dialog() const { return parseDialog(resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_MAIN), GetParam())); }
  bool isGerman() const { return GetParam() == german; }
};

TEST_P(MainDialogTemplate, IsAFixedCentredExtendedDialog) {
  const Dialog d = dialog();
  ASSERT_TRUE(d.wellFormed);
  EXPECT_TRUE(d.extended);
  EXPECT_EQ(d.helpId, 0u);
  EXPECT_EQ(d.exStyle, 0u);
  EXPECT_EQ(d.style, 0x80C808C8u);
  EXPECT_EQ(d.style, static_cast<std::uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER |
                                                DS_SETFONT | DS_FIXEDSYS));
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.y, 0);
  EXPECT_EQ(d.cx, 300);
  EXPECT_EQ(d.cy, 228);
  EXPECT_EQ(d.menu, L"");
  EXPECT_EQ(d.windowClass, L"");
  EXPECT_EQ(d.caption, isGerman() ? L"TESSERAN Firmware Updater" : L"TESSERAN firmware updater");
}

TEST_P(MainDialogTemplate, UsesTheShellDialogFont) {
  const Dialog d = dialog();
  EXPECT_EQ(d.pointSize, 8);
  EXPECT_EQ(d.weight, 0);
  EXPECT_EQ(d.italic, 0);
  EXPECT_EQ(d.charset, DEFAULT_CHARSET);
  EXPECT_EQ(d.typeface, L"MS Shell Dlg");
}

TEST_P(MainDialogTemplate, HoldsTheElevenControlsInOrder) {
  const Dialog d = dialog();
  ASSERT_TRUE(d.wellFormed);
  ASSERT_EQ(d.controls.size(), std::size(mainDialogControls));
  for (std::size_t i = 0; i < d.controls.size(); ++i) {
    const DialogControl& c = d.controls[i];
    const MainDialogControl& want = mainDialogControls[i];
    SCOPED_TRACE(testing::Message() << "control #" << i + 1 << ", ID " << want.id);
    EXPECT_EQ(c.id, want.id);
    EXPECT_TRUE(sameClass(c.windowClass, want.windowClass)) << className(c.windowClass);
    EXPECT_EQ(c.text, isGerman() ? want.germanText : want.englishText);
    EXPECT_EQ(c.style, want.style);
    EXPECT_EQ(c.exStyle, want.exStyle);
    EXPECT_EQ(c.helpId, 0u);
    EXPECT_EQ(c.x, want.x);
    EXPECT_EQ(c.y, want.y);
    EXPECT_EQ(c.cx, want.cx);
    EXPECT_EQ(c.cy, want.cy);
    EXPECT_EQ(c.extraBytes, 0);
  }
}

TEST_P(MainDialogTemplate, OnlyTheTwoButtonsAreTabStops) {
  std::vector<std::int32_t> tabStops;
  for (const DialogControl& c : dialog().controls)
    if (c.style & WS_TABSTOP) tabStops.push_back(c.id);
  EXPECT_EQ(tabStops, (std::vector<std::int32_t>{IDC_CLOSE, IDC_UPDATE}));
}

TEST_P(MainDialogTemplate, UpdateButtonStartsDisabledAndCloseIsTheDefault) {
  for (const DialogControl& c : dialog().controls) {
    if (c.id == IDC_UPDATE) {
      EXPECT_TRUE(c.style & WS_DISABLED);
    }
    if (c.id == IDC_CLOSE) {
      EXPECT_FALSE(c.style & WS_DISABLED);
      EXPECT_EQ(c.style & BS_TYPEMASK, static_cast<std::uint32_t>(BS_DEFPUSHBUTTON));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Resources, MainDialogTemplate, testing::Values(english, german),
                         [](const testing::TestParamInfo<LANGID>& info) {
                           return info.param == english ? "English" : "German";
                         });

TEST(ProgressDialogTemplate, IsAClassicTemplateWithOneProgressBar) {
  struct Case {
    LANGID language;
    const wchar_t* caption;
  } cases[] = {{english, L"Update progress"}, {german, L"Update Fortschritt"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(languageName(c.language));
    const Dialog d = parseDialog(resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_PROGRESS), c.language));
    ASSERT_TRUE(d.wellFormed);
    EXPECT_FALSE(d.extended);
    EXPECT_EQ(d.style, 0x50C008CCu);
    EXPECT_EQ(d.exStyle, 0u);
    EXPECT_EQ(d.x, 0);
    EXPECT_EQ(d.y, 0);
    EXPECT_EQ(d.cx, 289);
    EXPECT_EQ(d.cy, 22);
    EXPECT_EQ(d.caption, c.caption);
    EXPECT_EQ(d.pointSize, 8);
    EXPECT_EQ(d.typeface, L"Ms Shell Dlg 2");
    ASSERT_EQ(d.controls.size(), 1u);
    const DialogControl& bar = d.controls[0];
    EXPECT_EQ(bar.id, IDC_PROGRESS_BAR);
    EXPECT_TRUE(sameClass(bar.windowClass, L"msctls_progress32")) << bar.windowClass;
    EXPECT_EQ(bar.text, L"");
    EXPECT_EQ(bar.style, 0x50000000u);
    EXPECT_EQ(bar.exStyle, 0u);
    EXPECT_EQ(bar.x, -1);
    EXPECT_EQ(bar.y, 0);
    EXPECT_EQ(bar.cx, 290);
    EXPECT_EQ(bar.cy, 22);
  }
}

// ---------------------------------------------------------------------------------------------
// Logo bitmap

constexpr int logoWidth = 1772, logoHeight = 263;

TEST(Logo, IsAnUncompressed24BitBottomUpBitmap) {
  const Bytes logo = resource(RT_BITMAP, MAKEINTRESOURCEW(IDB_LOGO), german);
  ASSERT_EQ(logo.size, 40u + 1398108u);
  Reader r(logo);
  EXPECT_EQ(r.u32(), 40u);                                  // biSize
  EXPECT_EQ(static_cast<std::int32_t>(r.u32()), logoWidth);  // biWidth
  EXPECT_EQ(static_cast<std::int32_t>(r.u32()), logoHeight); // biHeight > 0: bottom-up
  EXPECT_EQ(r.u16(), 1);                                    // biPlanes
  EXPECT_EQ(r.u16(), 24);                                   // biBitCount
  EXPECT_EQ(r.u32(), static_cast<std::uint32_t>(BI_RGB));   // biCompression
  EXPECT_EQ(r.u32(), 1398108u);                             // biSizeImage
  EXPECT_EQ(r.u32(), 0u);                                   // biXPelsPerMeter
  EXPECT_EQ(r.u32(), 0u);                                   // biYPelsPerMeter
  EXPECT_EQ(r.u32(), 0u);                                   // biClrUsed: no colour table
  EXPECT_EQ(r.u32(), 0u);                                   // biClrImportant
}

// Green is the transparent colour when the dialog paints the logo: a pixel between green and
// red would show as a green fringe, so edges may only use the red scaled towards black.
TEST(Logo, HoldsOnlyPureGreenAndTheSixteenShadesOfTheRed) {
  const Bytes logo = resource(RT_BITMAP, MAKEINTRESOURCEW(IDB_LOGO), german);
  ASSERT_EQ(logo.size, 40u + 1398108u);
  std::map<std::uint32_t, int> shadeOf;  // 0xRRGGBB -> k
  for (std::uint32_t k = 1; k <= 16; ++k) shadeOf[(k * 227 / 16) << 16 | (k * 11 / 16)] = static_cast<int>(k);
  const std::uint8_t* pixels = logo.data + 40;
  const int rowBytes = logoWidth * 3;
  long green = 0, fullRed = 0, edge = 0, other = 0;
  bool borderGreen = true;
  for (int row = 0; row < logoHeight; ++row) {
    for (int col = 0; col < logoWidth; ++col) {
      const std::uint8_t* p = pixels + row * rowBytes + col * 3;
      const std::uint32_t rgb = p[2] << 16 | p[1] << 8 | p[0];
      const bool isGreen = rgb == 0x00FF00;
      if (row == 0 || row == logoHeight - 1 || col == 0 || col == logoWidth - 1) borderGreen = borderGreen && isGreen;
      if (isGreen) {
        ++green;
      } else if (shadeOf.count(rgb) == 0) {
        ++other;
      } else if (shadeOf[rgb] == 16) {
        ++fullRed;
      } else {
        ++edge;
      }
    }
  }
  EXPECT_EQ(other, 0);
  EXPECT_TRUE(borderGreen) << "the letters touch the border";
  EXPECT_GT(edge, 0) << "no smoothed edges";
  // A word mark of heavy letters: neither an empty nor a solid picture.
  const long total = static_cast<long>(logoWidth) * logoHeight;
  EXPECT_GT(green, total * 3 / 10);
  EXPECT_LT(green, total * 7 / 10);
  EXPECT_GT(fullRed, edge);
}

// ---------------------------------------------------------------------------------------------
// Icon

TEST(Icon, GroupListsFiveOpaque32BitImagesFrom16To128) {
  const Bytes group = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_APP), german);
  ASSERT_EQ(group.size, 6u + 5 * 14u);
  Reader r(group);
  EXPECT_EQ(r.u16(), 0);  // reserved
  EXPECT_EQ(r.u16(), 1);  // icon, not cursor
  ASSERT_EQ(r.u16(), 5);
  const int sizes[] = {16, 32, 48, 64, 128};
  for (int i = 0; i < 5; ++i) {
    const int n = sizes[i];
    SCOPED_TRACE(n);
    EXPECT_EQ(r.u8(), n);   // width
    EXPECT_EQ(r.u8(), n);   // height
    EXPECT_EQ(r.u8(), 0);   // no palette
    r.u8();
    EXPECT_EQ(r.u16(), 1);  // planes
    EXPECT_EQ(r.u16(), 32); // bits per pixel
    const std::uint32_t bytesInRes = r.u32();
    const std::uint16_t id = r.u16();
    EXPECT_EQ(id, i + 1);

    const Bytes image = resource(RT_ICON, MAKEINTRESOURCEW(id), german);
    const std::uint32_t maskBytes = ((n + 31) / 32) * 4 * n;
    ASSERT_EQ(image.size, bytesInRes);
    ASSERT_EQ(image.size, 40u + n * n * 4u + maskBytes);
    Reader h(image);
    EXPECT_EQ(h.u32(), 40u);  // a DIB header, so not PNG-compressed
    EXPECT_EQ(static_cast<int>(h.u32()), n);
    EXPECT_EQ(static_cast<int>(h.u32()), 2 * n);  // colour and mask
    EXPECT_EQ(h.u16(), 1);
    EXPECT_EQ(h.u16(), 32);
    EXPECT_EQ(h.u32(), static_cast<std::uint32_t>(BI_RGB));

    // Red T on black: every pixel opaque, black or the red scaled towards black.
    const std::uint8_t* bgra = image.data + 40;
    int red = 0, foreign = 0, translucent = 0;
    for (int p = 0; p < n * n; ++p) {
      const std::uint8_t* px = bgra + 4 * p;
      if (px[3] != 0xFF) ++translucent;
      const int k = px[2] / 14;  // 224 = 16 * 14, 32 = 16 * 2
      if (px[0] != 0 || px[2] != 14 * k || px[1] != 2 * k) ++foreign;
      if (px[2] == 224) ++red;
    }
    EXPECT_EQ(translucent, 0);
    EXPECT_EQ(foreign, 0);
    EXPECT_GT(red, n * n / 10);
    for (std::uint32_t m = 0; m < maskBytes; ++m) EXPECT_EQ(image.data[40 + n * n * 4 + m], 0) << "mask byte " << m;
  }
}

TEST(Icon, PlatformPicksTheImageForEachStandardSize) {
  const Bytes group = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_APP), german);
  ASSERT_NE(group.data, nullptr);
  const struct {
    int size;
    int id;
  } cases[] = {{16, 1}, {32, 2}, {48, 3}, {64, 4}, {128, 5}};
  for (const auto& c : cases) {
    const int id = LookupIconIdFromDirectoryEx(const_cast<PBYTE>(group.data), TRUE, c.size, c.size, LR_DEFAULTCOLOR);
    EXPECT_EQ(id, c.id) << c.size;
    const Bytes image = resource(RT_ICON, MAKEINTRESOURCEW(id), german);
    HICON icon = CreateIconFromResourceEx(const_cast<PBYTE>(image.data), image.size, TRUE, 0x00030000, c.size,
                                          c.size, LR_DEFAULTCOLOR);
    EXPECT_NE(icon, nullptr) << c.size;
    if (icon) DestroyIcon(icon);
  }
}

// ---------------------------------------------------------------------------------------------
// Firmware image and manifest

std::vector<std::uint8_t> fileBesideTheProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring file(path, n);
  file = file.substr(0, file.find_last_of(L"\\/") + 1) + name;
  std::vector<std::uint8_t> bytes;
  if (std::FILE* f = _wfopen(file.c_str(), L"rb")) {
    std::uint8_t chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(f);
  }
  return bytes;
}

TEST(FirmwareImage, EmbedsTheConfiguredFileUnchanged) {
  // The build copies the file it embedded next to this program.
  const std::vector<std::uint8_t> file = fileBesideTheProgram(L"firmware_140.bin");
  ASSERT_FALSE(file.empty());
  const Bytes image = resource(RT_RCDATA, MAKEINTRESOURCEW(IDR_FIRMWARE), german);
  ASSERT_EQ(image.size, file.size());
  EXPECT_TRUE(std::equal(file.begin(), file.end(), image.data));
}

TEST(FirmwareImage, HasTheSizeOfTheImageForThisEscType) {
  EXPECT_EQ(resource(RT_RCDATA, MAKEINTRESOURCEW(IDR_FIRMWARE), german).size, updatefacts::imageBytes);
}

// Value of an attribute of the first element with this name; quotes may be single or double.
std::string attribute(const std::string& xml, const std::string& element, const std::string& name) {
  const std::size_t at = xml.find("<" + element);
  if (at == std::string::npos) return "";
  const std::size_t end = xml.find('>', at);
  const std::size_t key = xml.find(" " + name + "=", at);
  if (key == std::string::npos || key > end) return "";
  const std::size_t open = key + name.size() + 2;
  const std::size_t close = xml.find(xml[open], open + 1);
  return xml.substr(open + 1, close - open - 1);
}

TEST(Manifest, RunsAsInvokerWithClassicControlsAndNoDpiAwareness) {
  const Bytes bytes = resource(RT_MANIFEST, MAKEINTRESOURCEW(1), englishUs);
  ASSERT_NE(bytes.data, nullptr);
  const std::string xml(reinterpret_cast<const char*>(bytes.data), bytes.size);
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
  EXPECT_EQ(attribute(xml, "assembly", "manifestVersion"), "1.0");
  EXPECT_EQ(attribute(xml, "assembly", "xmlns"), "urn:schemas-microsoft-com:asm.v1");
  EXPECT_EQ(attribute(xml, "trustInfo", "xmlns"), "urn:schemas-microsoft-com:asm.v3");
  EXPECT_EQ(attribute(xml, "requestedExecutionLevel", "level"), "asInvoker");
  EXPECT_EQ(attribute(xml, "requestedExecutionLevel", "uiAccess"), "false");
  EXPECT_EQ(xml.find("Common-Controls"), std::string::npos);
  EXPECT_EQ(xml.find("dependency"), std::string::npos);
  EXPECT_EQ(xml.find("dpiAware"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Version information, read from this program's file the way Explorer's Details page reads it

constexpr char placeholderBanner[] = "PLACEHOLDER IMAGE, NOT FIRMWARE.";
constexpr WORD unicodeCodePage = 1200;

// Decided from the embedded image, not from the build, so the tests hold for a release too.
bool carriesThePlaceholder() {
  const Bytes image = resource(RT_RCDATA, MAKEINTRESOURCEW(IDR_FIRMWARE), german);
  const std::size_t length = sizeof placeholderBanner - 1;
  return image.size >= length && std::equal(placeholderBanner, placeholderBanner + length, image.data);
}

std::vector<std::uint8_t> versionInfo() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n == MAX_PATH) return {};
  DWORD ignored = 0;
  std::vector<std::uint8_t> info(GetFileVersionInfoSizeW(path, &ignored));
  if (info.empty() || !GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data())) return {};
  return info;
}

// A value of the StringFileInfo block of one language, in the Unicode code page; "<absent>" when
// the block or the key is missing.
std::wstring versionText(LANGID language, const wchar_t* key) {
  std::vector<std::uint8_t> info = versionInfo();
  wchar_t query[64];
  std::swprintf(query, std::size(query), L"\\StringFileInfo\\%04x%04x\\%ls", language, unicodeCodePage, key);
  void* value = nullptr;
  UINT units = 0;
  if (info.empty() || !VerQueryValueW(info.data(), query, &value, &units)) return L"<absent>";
  const wchar_t* text = static_cast<const wchar_t*>(value);
  return std::wstring(text, wcsnlen(text, units));
}

TEST(VersionInformation, ListsEnglishAndGermanInTheUnicodeCodePage) {
  std::vector<std::uint8_t> info = versionInfo();
  ASSERT_FALSE(info.empty());
  void* value = nullptr;
  UINT bytes = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &bytes));
  const WORD* pairs = static_cast<const WORD*>(value);
  EXPECT_EQ(std::vector<WORD>(pairs, pairs + bytes / sizeof(WORD)),
            (std::vector<WORD>{0x0409, unicodeCodePage, 0x0407, unicodeCodePage}));
}

TEST(VersionInformation, FixedFileAndProductVersionsAre3_3) {
  std::vector<std::uint8_t> info = versionInfo();
  ASSERT_FALSE(info.empty());
  void* value = nullptr;
  UINT bytes = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", &value, &bytes));
  ASSERT_EQ(bytes, sizeof(VS_FIXEDFILEINFO));
  const VS_FIXEDFILEINFO* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(3, 3)));
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, static_cast<DWORD>(MAKELONG(3, 3)));
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

struct VersionLanguage {
  LANGID language;
  const wchar_t* description;
  const wchar_t* placeholderNote;
};

const VersionLanguage versionLanguages[] = {
    {englishUs, L"ZIRVANO 60 LV firmware updater", L" - placeholder image, not for flashing"},
    {german, L"ZIRVANO 60 LV Firmware-Updater", L" - Platzhalter-Abbild, nicht zum Flashen"},
};

void PrintTo(const VersionLanguage& v, std::ostream* os) { *os << (v.language == german ? "German" : "English"); }

class VersionTexts : public testing::TestWithParam<VersionLanguage> {};

TEST_P(VersionTexts, NameTheProductAndItsVersion) {
  const struct {
    const wchar_t* key;
    const wchar_t* value;
  } keys[] = {
      {L"CompanyName", L"TESSERAN"},
      {L"ProductName", L"TESSERAN ZIRVANO 60 LV FW Updater"},
      {L"FileVersion", L"3.3"},
      {L"ProductVersion", L"3.3"},
      {L"OriginalFilename", L"ZirvanoUpdater.exe"},
      {L"InternalName", L"ZirvanoUpdater"},
  };
  for (const auto& k : keys) EXPECT_EQ(versionText(GetParam().language, k.key), k.value) << k.key;
}

// Where a user checks a file before flashing it: Properties, Details, "File description".
TEST_P(VersionTexts, DescriptionWarnsExactlyWhenTheImageIsThePlaceholder) {
  const std::wstring expected =
      std::wstring(GetParam().description) + (carriesThePlaceholder() ? GetParam().placeholderNote : L"");
  EXPECT_EQ(versionText(GetParam().language, L"FileDescription"), expected);
}

INSTANTIATE_TEST_SUITE_P(Resources, VersionTexts, testing::ValuesIn(versionLanguages),
                         [](const testing::TestParamInfo<VersionLanguage>& info) {
                           return info.param.language == german ? "German" : "English";
                         });

// ---------------------------------------------------------------------------------------------
// Language tags and lookup

struct Tagged {
  const char* what;
  LPCWSTR type;
  unsigned id;
  std::set<LANGID> languages;
};

const Tagged taggedResources[] = {
    {"main dialog", RT_DIALOG, IDD_MAIN, {english, german}},
    {"progress dialog", RT_DIALOG, IDD_PROGRESS, {english, german}},
    {"logo", RT_BITMAP, IDB_LOGO, {german}},
    {"icon group", RT_GROUP_ICON, IDI_APP, {german}},
    {"icon 16", RT_ICON, 1, {german}},
    {"icon 32", RT_ICON, 2, {german}},
    {"icon 48", RT_ICON, 3, {german}},
    {"icon 64", RT_ICON, 4, {german}},
    {"icon 128", RT_ICON, 5, {german}},
    {"firmware image", RT_RCDATA, IDR_FIRMWARE, {german}},
    {"manifest", RT_MANIFEST, 1, {englishUs}},
    {"version information", RT_VERSION, VS_VERSION_INFO, {englishUs}},
};

void PrintTo(const Tagged& t, std::ostream* os) { *os << t.what; }

class TaggedResource : public testing::TestWithParam<Tagged> {};

TEST_P(TaggedResource, CarriesItsLanguageTagsOnly) {
  EXPECT_EQ(resourceLanguages(GetParam().type, GetParam().id), GetParam().languages);
}

// The platform falls back to whatever language a resource has, so one tag serves every user.
TEST_P(TaggedResource, IsFoundUnderEveryUserInterfaceLanguage) {
  for (LANGID ui : {englishUs, german, french}) {
    UiLanguage scope(ui);
    const Bytes found = resourceBytes(FindResourceW(self(), MAKEINTRESOURCEW(GetParam().id), GetParam().type));
    EXPECT_NE(found.data, nullptr) << languageName(ui);
    EXPECT_GT(found.size, 0u) << languageName(ui);
  }
}

INSTANTIATE_TEST_SUITE_P(Resources, TaggedResource, testing::ValuesIn(taggedResources),
                         [](const testing::TestParamInfo<Tagged>& info) {
                           std::string name = info.param.what;
                           name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
                           return name;
                         });

TEST(MainDialogLanguage, FollowsTheUserInterfaceLanguage) {
  struct Case {
    LANGID ui;
    const wchar_t* close;
  } cases[] = {{englishUs, L"Close"}, {german, L"Beenden"}};
  for (const Case& c : cases) {
    UiLanguage scope(c.ui);
    const Dialog d = parseDialog(resourceBytes(FindResourceW(self(), MAKEINTRESOURCEW(IDD_MAIN), RT_DIALOG)));
    ASSERT_FALSE(d.controls.empty()) << languageName(c.ui);
    EXPECT_EQ(d.controls[0].text, c.close) << languageName(c.ui);
  }
}

}  // namespace
