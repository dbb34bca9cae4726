#include "cli/unit_report.h"

#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/text_encoding.h"
#include "link/identify.h"
#include "link/readiness_hint.h"
#include "link/version_text.h"
#include "resources/resource_ids.h"
#include "link/product_identity.h"

namespace {

constexpr char kUdevRuleFile[] = "70-zirvano-programming-unit.rules";
// Run in the source tree, which carries the rule under resources/linux.
constexpr char kUdevInstallFormat[] =
    "sudo install -m 644 resources/linux/%s /etc/udev/rules.d/ "
    "&& sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=hidraw";
constexpr char kParagraphBreak[] = "\n\n";
constexpr char kRowFormat[] = "%-20s%s\n";
// Raised when a field goes, changes its type or its meaning; a new field leaves it as it is.
constexpr unsigned kJsonSchemaVersion = 1;
constexpr char kEscTypeFormat[] = "%08X";

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

// The window's hint for a state that identification told (no unit attached reads as the window
// finding none); null for the flasher's own states.
const ReadinessHint* windowHint(UnitState state) {
    switch (state) {
        case UnitState::noUnit: return &readinessHint(LinkReadiness::noUnit);
        case UnitState::wrongMode: return &readinessHint(LinkReadiness::wrongMode);
        case UnitState::noUpdatableEsc: return &readinessHint(LinkReadiness::noUpdatableEsc);
        case UnitState::incompatibleEsc: return &readinessHint(LinkReadiness::incompatibleEsc);
        case UnitState::ready: return &readinessHint(LinkReadiness::ready);
        case UnitState::severalUnits:
        case UnitState::notAUnit:
        case UnitState::cannotOpen:
        case UnitState::inUse:
        case UnitState::unidentified: break;
    }
    return nullptr;
}

// The one paragraph that says what the finding means: the window's hint where it has one.
void hintText(const Finding& finding, const CliSetting& setting, char (&hint)[kLineBytes]) {
    const Language language = setting.language;
    const std::string path = utf8FromUtf16(finding.sighting.path.c_str());
    const UnitSighting& sighting = finding.sighting;
    char detail[kLineBytes];
    switch (finding.state) {
        case UnitState::noUnit:
            if (sighting.kind == Sighting::absent) {
                std::snprintf(hint, sizeof hint, text(Text::noUnitAt, language), path.c_str());
                return;
            }
            if (!finding.survey.listRead && finding.sighting.path.empty()) {
                std::snprintf(hint, sizeof hint, text(Text::deviceListUnreadable, language),
                              static_cast<unsigned>(finding.survey.systemError));
                return;
            }
            break;
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
        case UnitState::ready: {
            // The window's text speaks of its button; here the command to run is named.
            char carried[kVersionTextChars];
            carriedVersionText(carried);
            std::snprintf(hint, sizeof hint, text(Text::readyHint, language), carried);
            return;
        }
        case UnitState::wrongMode:
        case UnitState::noUpdatableEsc:
        case UnitState::incompatibleEsc: break;
    }
    const ReadinessHint* shared = windowHint(finding.state);
    if (shared != nullptr)
        std::snprintf(hint, sizeof hint, "%s", catalogueText(shared->textId, language));
    else
        hint[0] = '\0';
}

bool hintHasSteps(UnitState state) {
    const ReadinessHint* shared = windowHint(state);
    return shared != nullptr && shared->withSteps;
}

// The units to choose from when there are several; null in every other state, so that the
// object keeps one shape.
void putJsonCandidates(const TextSink& sink, const Finding& finding) {
    put(sink, "\"candidates\":");
    if (finding.state != UnitState::severalUnits) {
        put(sink, "null,");
        return;
    }
    const char* separator = "[";
    for (const UnitSighting& unit : finding.survey.units) {
        put(sink, separator);
        putJsonString(sink, utf8FromUtf16(unit.path.c_str()).c_str());
        separator = ",";
    }
    put(sink, "],");
}

// The system's error code, where the finding comes from one: the unit that cannot be opened,
// the device list that cannot be read.
bool systemErrorOf(const Finding& finding, std::uint32_t* error) {
    if (finding.state == UnitState::cannotOpen) {
        *error = finding.sighting.systemError;
        return true;
    }
    if (finding.state == UnitState::noUnit && !finding.survey.listRead &&
        finding.sighting.path.empty()) {
        *error = finding.survey.systemError;
        return true;
    }
    return false;
}

void putUnitJson(const TextSink& sink, const Finding& finding, const CliSetting& setting) {
    char hint[kLineBytes];
    hintText(finding, setting, hint);
    const bool identified = unitIdentified(finding.state);
    const bool esc = escRead(finding.state);
    // An unidentified unit was opened: its product ID is known, its versions are not.
    const bool named = identified || finding.state == UnitState::unidentified;
    const std::string path = utf8FromUtf16(finding.sighting.path.c_str());
    char unitVersion[kVersionTextChars];
    char escType[kVersionTextChars];
    char bootloaderVersion[kVersionTextChars];
    char escVersion[kVersionTextChars];
    char carried[kVersionTextChars];
    unitVersionText(programmerLink.unitFirmwareVersion, unitVersion);
    std::snprintf(escType, sizeof escType, kEscTypeFormat, static_cast<unsigned>(escTypeId()));
    bootloaderVersionText(escBootloaderVersion(), bootloaderVersion);
    const char* installed = esc ? jsonEscVersion(escFirmwareVersion(), escVersion) : nullptr;
    const auto exitCode = static_cast<unsigned long>(exitCodeOf(finding.state));
    std::uint32_t systemError = 0;
    const bool failedSystemCall = systemErrorOf(finding, &systemError);

    put(sink, "{");
    putJsonField(sink, "state", jsonName(finding.state));
    putJsonNumberField(sink, "exitCode", true, exitCode);
    // No unit at a named path has no path to tell of either.
    putJsonField(sink, "path",
                 path.empty() || finding.state == UnitState::noUnit ? nullptr : path.c_str());
    putJsonField(sink, "unit", named ? unitName(programmerLink.usbProductId) : nullptr);
    putJsonField(sink, "unitVersion", identified ? unitVersion : nullptr);
    putJsonField(sink, "escType", esc ? escType : nullptr);
    putJsonField(sink, "escBootloaderVersion", esc ? bootloaderVersion : nullptr);
    putJsonField(sink, "escVersion", installed);
    putJsonField(sink, "carriedVersion", jsonEscVersion(kCarriedFirmwareVersion, carried));
    putJsonCandidates(sink, finding);
    putJsonNumberField(sink, "systemError", failedSystemCall, systemError);
    putJsonNumberField(sink, "schemaVersion", true, kJsonSchemaVersion);
    putJsonField(sink, "hint", hint, true);
    put(sink, "}");
}

}  // namespace

const char* jsonEscVersion(std::uint16_t version, char (&text)[kVersionTextChars]) {
    if (version == kNoEscFirmware) return nullptr;
    escVersionText(version, text);
    return text;
}

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
    const ReadinessHint* shared = windowHint(finding.state);
    if (shared != nullptr && shared->incompatibilityNotice) {
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
    putUnitJson(sink, finding, setting);
    put(sink, "\n");
}

void putListJson(const TextSink& sink, const UnitSurvey& survey, const CliSetting& setting) {
    // The survey keeps no ESC versions: the link record has them while the unit is open.
    const char* separator = "[\n";
    for (const UnitSighting& unit : survey.units) {
        const std::string path = utf8FromUtf16(unit.path.c_str());
        const Finding finding = findUnit(path.c_str(), setting.system);
        put(sink, separator);
        putUnitJson(sink, finding, setting);
        closeProgrammer();
        separator = ",\n";
    }
    put(sink, survey.units.empty() ? "[]\n" : "\n]\n");
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
        case Sighting::absent:
            putFormat(sink, "%s  %s\n", path.c_str(), text(Text::seriesNoUnit, language));
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
