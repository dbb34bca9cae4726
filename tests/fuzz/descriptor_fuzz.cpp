// Feeds arbitrary bytes as a HID report descriptor, which the Linux backend reads from whatever
// device answers to the unit's IDs: the parser must neither crash nor read or write out of
// bounds, and every length it gives must be one a report can have.
//
// Input: the descriptor, as the kernel hands it over (at most 4096 bytes).
//
// tests/fuzz/descriptor_seeds holds the unit's own descriptor, one that also declares report ID
// 255, one with Push, Pop and a long item, and one cut off inside an item. At exit the harness
// prints how many descriptors ended in each outcome; an outcome never reached was not fuzzed.
#include <cstdio>
#include <cstdlib>

#include "link/commands.h"
#include "link/report_descriptor.h"

namespace {

// Report-ID byte included: the parser's own bound, written out so that a changed bound is seen.
constexpr std::uint32_t kLongestReportBytes = 16384;
constexpr std::uint32_t kShortestReportBytes = 2;  // the ID and at least one bit
constexpr std::uint8_t kTopReportId = 255;

enum Outcome { refused, withoutTheUnitsReports, sized, topReportIdDeclared, outcomeCount };
const char* const kOutcomeNames[] = {"refused", "without the unit's reports", "sized",
                                     "report ID 255 declared"};
std::uint64_t outcomesSeen[outcomeCount];

void reportReach() {
    int unreached = 0;
    for (int i = 0; i < outcomeCount; ++i) {
        std::printf("fuzz reach: %-28s %10llu\n", kOutcomeNames[i],
                    static_cast<unsigned long long>(outcomesSeen[i]));
        if (outcomesSeen[i] == 0) ++unreached;
    }
    if (unreached == 0)
        std::printf("fuzz reach: every descriptor outcome reached\n");
    else
        std::printf("fuzz reach: %d descriptor outcomes NOT reached\n", unreached);
}

// A broken promise of the parser is a finding, like a crash.
void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "descriptor fuzz: %s\n", what);
    std::abort();
}

bool declaresReport(const ReportLayout& layout, std::uint8_t reportId) {
    for (std::uint32_t kind = 0; kind < kReportKindCount; ++kind)
        if (reportByteLength(layout, reportId, static_cast<ReportKind>(kind)) != 0) return true;
    return false;
}

void checkLengths(const ReportLayout& layout) {
    for (std::uint32_t id = 0; id < kReportIdCount; ++id)
        for (std::uint32_t kind = 0; kind < kReportKindCount; ++kind) {
            const std::uint32_t length = reportByteLength(layout, static_cast<std::uint8_t>(id),
                                                          static_cast<ReportKind>(kind));
            require(
                length == 0 || (length >= kShortestReportBytes && length <= kLongestReportBytes),
                "a report length no report can have");
        }
}

ReportLayout layout;  // 3 KB: kept off the stack

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::atexit(reportReach);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint32_t output = 0;
    std::uint32_t input = 0;
    const bool unitSized = unitReportLengths(data, size, &output, &input);
    if (!parseReportDescriptor(data, size, &layout)) {
        require(!unitSized, "unit lengths from a descriptor the parser refuses");
        ++outcomesSeen[refused];
        return 0;
    }
    checkLengths(layout);
    if (declaresReport(layout, kTopReportId)) ++outcomesSeen[topReportIdDeclared];
    if (!unitSized) {
        ++outcomesSeen[withoutTheUnitsReports];
        return 0;
    }
    require(output == reportByteLength(layout, kCommandReportId, ReportKind::output) &&
                input == reportByteLength(layout, kResponseReportId, ReportKind::input),
            "unit lengths other than the layout's");
    require(output != 0 && input != 0, "a unit report of no length");
    ++outcomesSeen[sized];
    return 0;
}
