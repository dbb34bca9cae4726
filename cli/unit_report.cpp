#include "cli/unit_report.h"

#include <cstdio>

#include "cli/text_encoding.h"
#include "link/version_text.h"
#include "resources/resource_ids.h"
#include "link/product_identity.h"

namespace {

constexpr char kUdevRuleFile[] = "70-zirvano-programming-unit.rules";
// Run in the source tree, which carries the rule under resources/linux.
constexpr char kUdevInstallFormat[] =
    "sudo install -m 644 resources/linux/%s /etc/udev/rules.d/ "
    "&& sudo udevadm control --reload && sudo udevadm trigger";
constexpr char kParagraphBreak[] = "\n\n";
constexpr char kRowFormat[] = "%-20s%s\n";
constexpr char kJsonNull[] = "null";

struct StateName {
    UnitState state;
    const char* json;
};

const StateName kStateNames[] = {
    {UnitState::noUnit, "no-unit"},
    {UnitState::severalUnits, "several-units"},
    {UnitState::notAUnit, "not-a-unit"},
    {UnitState::cannotOpen, "cannot-open"},
    {UnitState::inUse, "in-use"},
    {UnitState::unidentified, "unidentified"},
    {UnitState::wrongMode, "wrong-mode"},
    {UnitState::noUpdatableEsc, "no-updatable-esc"},
    {UnitState::incompatibleEsc, "incompatible-esc"},
    {UnitState::ready, "ready"},
};

const char* jsonName(UnitState state) {
    for (const StateName& row : kStateNames)
        if (row.state == state) return row.json;
    return "";
}

// The three versions are only there once identification told the unit's state; the ESC's two
// once it also read the ESC.
bool unitIdentified(UnitState state) {
    return state == UnitState::wrongMode || state == UnitState::noUpdatableEsc ||
           state == UnitState::incompatibleEsc || state == UnitState::ready;
}
bool escRead(UnitState state) {
    return state == UnitState::incompatibleEsc || state == UnitState::ready;
}

// The carried version as the window writes ESC versions.
void carriedVersionText(char (&text)[kVersionTextChars]) {
    escVersionText(kCarriedFirmwareVersion, text);
}

void reasonText(const UnitSighting& sighting, Language language, char (&reason)[kLineBytes]) {
    if (sighting.result == kLinkNoLink && sighting.outputReportLength == 0)
        std::snprintf(reason, sizeof reason, "%s", text(Text::reasonCapabilities, language));
    else if (sighting.result == kLinkNoLink)
        std::snprintf(reason, sizeof reason, text(Text::reasonLengths, language),
                      static_cast<unsigned>(sighting.outputReportLength),
                      static_cast<unsigned>(sighting.inputReportLength));
    else
        std::snprintf(reason, sizeof reason, text(Text::reasonResult, language),
                      static_cast<int>(sighting.result));
}

// The one paragraph that says what the finding means: the window's hint where it has one.
void hintText(const Finding& finding, const CliSetting& setting, char (&hint)[kLineBytes]) {
    const Language language = setting.language;
    const std::string path = utf8FromUtf16(finding.sighting.path.c_str());
    const UnitSighting& sighting = finding.sighting;
    char detail[kLineBytes];
    switch (finding.state) {
        case UnitState::noUnit:
            if (!finding.survey.listRead && finding.sighting.path.empty()) {
                std::snprintf(hint, sizeof hint, text(Text::deviceListUnreadable, language),
                              static_cast<unsigned>(finding.survey.systemError));
                return;
            }
            std::snprintf(hint, sizeof hint, "%s", catalogueText(IDS_NO_UNIT, language));
            return;
        case UnitState::severalUnits:
            std::snprintf(hint, sizeof hint, "%s", text(Text::severalUnits, language));
            return;
        case UnitState::notAUnit:
            std::snprintf(hint, sizeof hint, text(Text::notAUnit, language), path.c_str());
            return;
        case UnitState::cannotOpen:
            std::snprintf(
                hint, sizeof hint,
                text(sighting.permissionDenied ? Text::cannotOpenPermission : Text::cannotOpen,
                     language),
                path.c_str(), static_cast<unsigned>(sighting.systemError));
            return;
        case UnitState::inUse:
            std::snprintf(hint, sizeof hint, text(Text::inUse, language), path.c_str());
            return;
        case UnitState::unidentified:
            reasonText(sighting, language, detail);
            std::snprintf(hint, sizeof hint, text(Text::unidentified, language), path.c_str(),
                          detail);
            return;
        case UnitState::wrongMode:
            std::snprintf(hint, sizeof hint, "%s", catalogueText(IDS_WRONG_MODE, language));
            return;
        case UnitState::noUpdatableEsc:
            std::snprintf(hint, sizeof hint, "%s", catalogueText(IDS_NO_UPDATABLE_ESC, language));
            return;
        case UnitState::incompatibleEsc:
            std::snprintf(hint, sizeof hint, "%s", catalogueText(IDS_INCOMPATIBLE_HINT, language));
            return;
        case UnitState::ready: {
            char carried[kVersionTextChars];
            carriedVersionText(carried);
            std::snprintf(hint, sizeof hint, text(Text::readyHint, language), carried);
            return;
        }
    }
    hint[0] = '\0';
}

// The window follows these hints with the connection steps.
bool hintHasSteps(UnitState state) {
    return state == UnitState::noUnit || state == UnitState::wrongMode ||
           state == UnitState::noUpdatableEsc || state == UnitState::incompatibleEsc;
}

void putJsonField(const TextSink& sink, const char* name, const char* value, bool last = false) {
    putFormat(sink, "\"%s\":", name);
    if (value == nullptr)
        put(sink, kJsonNull);
    else
        putJsonString(sink, value);
    put(sink, last ? "" : ",");
}

}  // namespace

void supportedTypeName(char (&name)[kVersionTextChars]) {
    std::size_t i = 0;
    for (; i + 1 < sizeof name && kSupportedEscTypeName[i] != L'\0'; ++i)
        name[i] = static_cast<char>(kSupportedEscTypeName[i]);
    name[i] = '\0';
}

bool putVersionRows(const TextSink& sink, const Finding& finding, Language language) {
    if (!unitIdentified(finding.state)) return false;
    char version[kVersionTextChars];
    char unit[kLineBytes];
    unitVersionText(programmerLink.unitFirmwareVersion, version);
    std::snprintf(unit, sizeof unit, "%s %s (%s)", unitName(programmerLink.usbProductId), version,
                  utf8FromUtf16(finding.sighting.path.c_str()).c_str());
    putFormat(sink, kRowFormat, catalogueText(IDS_LABEL_UNIT, language), unit);
    if (!escRead(finding.state)) return true;
    bootloaderVersionText(escBootloaderVersion(), version);
    putFormat(sink, kRowFormat, catalogueText(IDS_LABEL_ESC_BOOTLOADER, language), version);
    putEscRow(sink, language);
    return true;
}

void putEscRow(const TextSink& sink, Language language) {
    char version[kVersionTextChars];
    escVersionText(escFirmwareVersion(), version);
    putFormat(sink, kRowFormat, catalogueText(IDS_LABEL_ESC, language), version);
}

void putExplanation(const TextSink& sink, const Finding& finding, const CliSetting& setting) {
    const Language language = setting.language;
    if (finding.state == UnitState::incompatibleEsc) {
        // The window's notice box comes first, naming the one type this program is for.
        char typeName[kVersionTextChars];
        supportedTypeName(typeName);
        putFormat(sink, catalogueText(IDS_INCOMPATIBLE_TEXT, language), typeName);
        put(sink, kParagraphBreak);
    }
    char hint[kLineBytes];
    hintText(finding, setting, hint);
    putLine(sink, hint);
    if (hintHasSteps(finding.state)) {
        put(sink, "\n");
        putLine(sink, catalogueText(IDS_STEPS, language));
    }
    if (finding.state == UnitState::severalUnits)
        for (const UnitSighting& unit : finding.survey.units)
            putFormat(sink, "  %s\n", utf8FromUtf16(unit.path.c_str()).c_str());
    if (finding.state == UnitState::cannotOpen && finding.sighting.permissionDenied)
        putPermissionHint(sink, setting);
}

void putStatusJson(const TextSink& sink, const Finding& finding, const CliSetting& setting) {
    char hint[kLineBytes];
    hintText(finding, setting, hint);
    const bool identified = unitIdentified(finding.state);
    const bool esc = escRead(finding.state);
    const std::string path = utf8FromUtf16(finding.sighting.path.c_str());
    char unitVersion[kVersionTextChars];
    char bootloaderVersion[kVersionTextChars];
    char escVersion[kVersionTextChars];
    char carried[kVersionTextChars];
    unitVersionText(programmerLink.unitFirmwareVersion, unitVersion);
    bootloaderVersionText(escBootloaderVersion(), bootloaderVersion);
    escVersionText(escFirmwareVersion(), escVersion);
    carriedVersionText(carried);

    put(sink, "{");
    putJsonField(sink, "state", jsonName(finding.state));
    putFormat(sink, "\"exitCode\":%d,", exitCodeOf(finding.state));
    putJsonField(sink, "path", path.empty() ? nullptr : path.c_str());
    putJsonField(sink, "unit", identified ? unitName(programmerLink.usbProductId) : nullptr);
    putJsonField(sink, "unitVersion", identified ? unitVersion : nullptr);
    putJsonField(sink, "escBootloaderVersion", esc ? bootloaderVersion : nullptr);
    putJsonField(sink, "escVersion", esc ? escVersion : nullptr);
    putJsonField(sink, "carriedVersion", carried);
    putJsonField(sink, "hint", hint, true);
    put(sink, "}\n");
}

void putListLine(const TextSink& sink, const UnitSighting& sighting, Language language) {
    const std::string path = utf8FromUtf16(sighting.path.c_str());
    char state[kLineBytes];
    switch (sighting.kind) {
        case Sighting::cannotOpen:
            std::snprintf(
                state, sizeof state,
                text(sighting.permissionDenied ? Text::listPermission : Text::listCannotOpen,
                     language),
                static_cast<unsigned>(sighting.systemError));
            putFormat(sink, "%s  %s\n", path.c_str(), state);
            return;
        case Sighting::inUse:
            putFormat(sink, "%s  %s\n", path.c_str(), text(Text::listInUse, language));
            return;
        case Sighting::unidentified: {
            char reason[kLineBytes];
            reasonText(sighting, language, reason);
            std::snprintf(state, sizeof state, text(Text::listUnidentified, language), reason);
            putFormat(sink, "%s  %s  %s\n", path.c_str(), unitName(sighting.productId), state);
            return;
        }
        case Sighting::unit: break;
    }
    switch (sighting.readiness) {
        case LinkReadiness::ready:
            std::snprintf(state, sizeof state, "%s", text(Text::stateReady, language));
            break;
        case LinkReadiness::wrongMode:
            std::snprintf(state, sizeof state, "%s", text(Text::stateWrongMode, language));
            break;
        case LinkReadiness::noUpdatableEsc:
        case LinkReadiness::noUnit:
            std::snprintf(state, sizeof state, "%s", text(Text::stateNoUpdatableEsc, language));
            break;
        case LinkReadiness::incompatibleEsc:
            std::snprintf(state, sizeof state, text(Text::stateIncompatible, language),
                          static_cast<unsigned>(sighting.escTypeId));
            break;
    }
    char version[kVersionTextChars];
    unitVersionText(sighting.unitVersion, version);
    putFormat(sink, "%s  %s %s  %s\n", path.c_str(), unitName(sighting.productId), version, state);
}

void putPermissionHint(const TextSink& sink, const CliSetting& setting) {
    if (!setting.system.udevRules) return;
    char command[kLineBytes];
    std::snprintf(command, sizeof command, kUdevInstallFormat, kUdevRuleFile);
    putFormat(sink, text(Text::udevHint, setting.language), kUdevRuleFile, command);
    put(sink, "\n");
}
