// The shared update facts and the handwritten catalogue for the browser's tests and bench, as JSON
// from the simulated unit's module (sim_unit.js): what every other test layer checks against.
#include <emscripten.h>

#include <string>

#include "tests/shared/catalogue_texts.h"
#include "tests/shared/update_facts.h"

namespace {

template <typename List>
std::string numbers(const List& list) {
    std::string out = "[";
    for (const auto& value : list) out += (out.size() > 1 ? "," : "") + std::to_string(value);
    return out + "]";
}

// A JSON string of a wide text: every character past ASCII, and every control, as \uXXXX.
std::string jsonText(const wchar_t* text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (; *text != L'\0'; ++text) {
        const auto unit = static_cast<std::uint32_t>(*text);
        if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\') {
            out += static_cast<char>(unit);
            continue;
        }
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
    }
    return out + "\"";
}

}  // namespace

// {"40000": {"en": ..., "de": ...}, ...}: the catalogue as written down by hand.
extern "C" EMSCRIPTEN_KEEPALIVE const char* simWebHandwrittenCatalogue() {
    static std::string catalogue;
    catalogue = "{";
    for (const handwritten::CatalogueEntry& entry : handwritten::catalogueEntries)
        catalogue += (catalogue.size() > 1 ? ",\"" : "\"") + std::to_string(entry.id) +
                     "\":{\"en\":" + jsonText(entry.english) + ",\"de\":" + jsonText(entry.german) + "}";
    return (catalogue += "}").c_str();
}

extern "C" EMSCRIPTEN_KEEPALIVE const char* simWebUpdateFacts() {
    static std::string facts;
    std::string runs = "[";
    for (const updatefacts::CommandRun& run : updatefacts::updateCommands)
        runs += (runs.size() > 1 ? "," : "") + std::string("[") + std::to_string(run.code) + "," +
                std::to_string(run.count) + "]";
    runs += "]";
    facts = "{\"imageBytes\":" + std::to_string(updatefacts::imageBytes) +
            ",\"blocks\":" + std::to_string(updatefacts::blocks) +
            ",\"carriedVersion\":" + std::to_string(updatefacts::carriedVersion) +
            ",\"identifyCommands\":" + numbers(updatefacts::identifyCommands) +
            ",\"bootloaderUnitIdentifyCommands\":" +
            numbers(updatefacts::bootloaderUnitIdentifyCommands) + ",\"updateCommands\":" + runs +
            ",\"pausesBeforeTransferMs\":" + numbers(updatefacts::pausesBeforeTransferMs) +
            ",\"blockPauseMs\":" + std::to_string(updatefacts::blockPauseMs) +
            ",\"fixedPausesMs\":" + std::to_string(updatefacts::fixedPausesMs) + "}";
    return facts.c_str();
}
