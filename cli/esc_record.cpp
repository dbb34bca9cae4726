#include "cli/esc_record.h"

#include <cstdio>

#include "cli/unit_report.h"
#include "link/device_io.h"
#include "link/identify.h"
#include "link/programmer_link.h"
#include "link/text_utf.h"
#include "link/version_text.h"

namespace {

// Raised when a field goes, changes its type or its meaning; a new field leaves it as it is.
constexpr unsigned kRecordSchemaVersion = 1;
constexpr char kEscTypeFormat[] = "%08X";
constexpr char kUnitCodeFormat[] = "%08x";
constexpr char kTimeFormat[] = "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ";
constexpr std::uint32_t kSerialUnits = 128;
constexpr std::uint64_t kMsPerSecond = 1000;
constexpr std::uint64_t kSecondsPerDay = 86400;
constexpr std::uint64_t kSecondsPerHour = 3600;
constexpr std::uint64_t kSecondsPerMinute = 60;

const char* outcomeName(EscOutcome outcome) {
    switch (outcome) {
        case EscOutcome::updated: return "updated";
        case EscOutcome::skipped: return "skipped";
        case EscOutcome::refused: return "refused";
        case EscOutcome::declined: return "declined";
        case EscOutcome::failed: return "failed";
        case EscOutcome::stopped: return "stopped";
        case EscOutcome::changed: return "changed";
    }
    return "";
}

const char* stepName(FlashStep step) {
    switch (step) {
        case FlashStep::reidentify: return "reidentify";
        case FlashStep::lock: return "lock";
        case FlashStep::unlockFlash: return "unlock-flash";
        case FlashStep::erase: return "erase";
        case FlashStep::setAddress: return "set-address";
        case FlashStep::transfer: return "transfer";
        case FlashStep::none:
        case FlashStep::escChanged: break;
    }
    return nullptr;
}

// The proleptic Gregorian date of a day counted from 1970-01-01 (days from civil, inverted).
void civilDate(long long days, long long* year, unsigned* month, unsigned* day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    *month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    *year = static_cast<long long>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

void isoTime(std::uint64_t utcMs, char (&text)[kVersionTextChars]) {
    const std::uint64_t seconds = utcMs / kMsPerSecond;
    long long year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civilDate(static_cast<long long>(seconds / kSecondsPerDay), &year, &month, &day);
    const std::uint64_t ofDay = seconds % kSecondsPerDay;
    std::snprintf(text, sizeof text, kTimeFormat, year, month, day,
                  static_cast<unsigned>(ofDay / kSecondsPerHour),
                  static_cast<unsigned>(ofDay % kSecondsPerHour / kSecondsPerMinute),
                  static_cast<unsigned>(ofDay % kSecondsPerMinute),
                  static_cast<unsigned>(utcMs % kMsPerSecond));
}

// Exit codes written as numbers: every one is small and not negative.
unsigned long exitCodeNumber(int code) { return static_cast<unsigned long>(code); }

}  // namespace

bool openRecordFile(const char* path, const CliSetting& setting, RecordFile* record) {
    *record = {nullptr, path};
    if (path == nullptr) return true;
    std::uint32_t systemError = 0;
    record->file = setting.system.openRecord(path, &systemError);
    if (record->file != nullptr) return true;
    putFormat(setting.console.err, text(Text::recordCannotOpen, setting.language), path,
              static_cast<unsigned>(systemError));
    put(setting.console.err, "\n");
    return false;
}

void closeRecordFile(const RecordFile& record, const CliSetting& setting) {
    if (record.file != nullptr) setting.system.closeRecord(record.file);
}

EscRecord escRecordOfLink(std::uint64_t identifiedAtMs) {
    EscRecord esc{};
    esc.identifiedAtMs = identifiedAtMs;
    if (programmerLink.devicePath != nullptr)
        esc.path = utf8FromUtf16(programmerLink.devicePath);
    esc.productId = programmerLink.usbProductId;
    esc.unitVersion = programmerLink.unitFirmwareVersion;
    esc.escType = escTypeId();
    esc.escBootloaderVersion = escBootloaderVersion();
    esc.escVersionBefore = escFirmwareVersion();
    esc.failedStep = FlashStep::none;
    return esc;
}

void recordFlashOutcome(EscRecord& esc, const FlashOutcome& outcome) {
    esc.failedStep = outcome.failedStep;
    esc.unitCodeKnown = outcome.result != kLinkOk && outcome.result != kLinkStopped;
    esc.unitCode = static_cast<std::uint32_t>(outcome.result);
}

void readEscVersionAfter(EscRecord& esc) {
    ProgrammerLink now = programmerLink;
    if (!linkIsOpen() || askIdentity(now) != kLinkOk) return;
    const LinkReadiness readiness = linkReadinessOf(now);
    if (readiness != LinkReadiness::ready && readiness != LinkReadiness::incompatibleEsc) return;
    esc.escVersionAfterRead = true;
    esc.escVersionAfter = escFirmwareVersion(now);
}

std::string escRecordLine(const EscRecord& esc, std::uint64_t utcMs, std::uint64_t durationMs) {
    std::string line;
    const TextSink sink{appendToString, &line, false};
    char time[kVersionTextChars];
    char unitVersion[kVersionTextChars];
    char escType[kVersionTextChars];
    char bootloaderVersion[kVersionTextChars];
    char before[kVersionTextChars];
    char after[kVersionTextChars];
    char unitCode[kVersionTextChars];
    isoTime(utcMs, time);
    unitVersionText(esc.unitVersion, unitVersion);
    std::snprintf(escType, sizeof escType, kEscTypeFormat, static_cast<unsigned>(esc.escType));
    bootloaderVersionText(esc.escBootloaderVersion, bootloaderVersion);
    std::snprintf(unitCode, sizeof unitCode, kUnitCodeFormat, static_cast<unsigned>(esc.unitCode));
    const bool stepTold = esc.outcome == EscOutcome::failed || esc.outcome == EscOutcome::stopped;

    put(sink, "{");
    putJsonNumberField(sink, "schemaVersion", true, kRecordSchemaVersion);
    putJsonField(sink, "time", time);
    putJsonField(sink, "unit", unitName(esc.productId));
    putJsonField(sink, "path", esc.path.empty() ? nullptr : esc.path.c_str());
    putJsonField(sink, "unitSerial", esc.unitSerial.empty() ? nullptr : esc.unitSerial.c_str());
    putJsonField(sink, "unitVersion", unitVersion);
    putJsonField(sink, "escType", escType);
    putJsonField(sink, "escBootloaderVersion", bootloaderVersion);
    putJsonField(sink, "escVersionBefore", jsonEscVersion(esc.escVersionBefore, before));
    putJsonField(sink, "escVersionAfter",
                 esc.escVersionAfterRead ? jsonEscVersion(esc.escVersionAfter, after) : nullptr);
    putJsonField(sink, "outcome", outcomeName(esc.outcome));
    putJsonField(sink, "failedStep", stepTold ? stepName(esc.failedStep) : nullptr);
    putJsonField(sink, "unitCode", stepTold && esc.unitCodeKnown ? unitCode : nullptr);
    putJsonNumberField(sink, "exitCode", true, exitCodeNumber(esc.exitCode));
    putJsonNumberField(sink, "durationMs", true, static_cast<unsigned long>(durationMs), true);
    put(sink, "}");
    return line;
}

void recordEsc(const RecordFile& record, const EscRecord& esc, const CliSetting& setting) {
    if (record.file == nullptr) return;
    const std::uint64_t now = setting.system.nowMs();
    const std::uint64_t duration = now >= esc.identifiedAtMs ? now - esc.identifiedAtMs : 0;
    // Asked of the unit only for a line, while its link is still open.
    EscRecord told = esc;
    char16_t serial[kSerialUnits];
    if (linkIsOpen() && deviceSerialNumber(programmerLink.handle, serial, kSerialUnits))
        told.unitSerial = utf8FromUtf16(serial);
    std::string line = escRecordLine(told, setting.system.utcNowMs(), duration);
    line += '\n';
    std::uint32_t systemError = 0;
    if (setting.system.appendRecord(record.file, line.data(), line.size(), &systemError)) return;
    putFormat(setting.console.err, text(Text::recordWriteFailed, setting.language), record.path,
              static_cast<unsigned>(systemError));
    put(setting.console.err, "\n");
}
