// Report lengths read from a HID report descriptor, for HID layers that do not give them.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ReportKind : std::uint8_t { input, output, feature };

constexpr std::uint32_t kReportIdCount = 256;  // ID 0 stands for "no report ID"
constexpr std::uint32_t kReportKindCount = 3;

// Bits each report carries after its report-ID byte, per report ID and kind; 0 when the
// descriptor declares no field for it.
struct ReportLayout {
    std::uint32_t bits[kReportIdCount][kReportKindCount];
};

// Adds up the fields of every Input, Output and Feature item. False on a descriptor that is
// truncated, nests Push deeper than the parser keeps, pops more than it pushed, names report
// ID 0 or one above 255, or declares a report longer than any the system carries.
bool parseReportDescriptor(const std::uint8_t* descriptor, std::size_t size, ReportLayout* layout);

// The report's length in bytes with its report-ID byte, as Windows' HID capabilities give it;
// 0 when the report is not declared.
std::uint32_t reportByteLength(const ReportLayout& layout, std::uint8_t reportId, ReportKind kind);

// The lengths of the unit's command report (output) and answer report (input). False when the
// descriptor is malformed or declares either report not at all.
bool unitReportLengths(const std::uint8_t* descriptor, std::size_t size,
                       std::uint32_t* outputLength, std::uint32_t* inputLength);
