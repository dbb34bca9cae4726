// The report lengths the Linux backend reads from a unit's HID report descriptor.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "link/report_descriptor.h"
#include "tests/linux/unit_descriptor.h"

namespace {

using namespace hiditems;

struct Lengths {
    bool found;
    std::uint32_t output;
    std::uint32_t input;
    bool operator==(const Lengths& other) const {
        return found == other.found && output == other.output && input == other.input;
    }
};

void PrintTo(const Lengths& lengths, std::ostream* out) {
    if (!lengths.found)
        *out << "refused";
    else
        *out << "output " << lengths.output << ", input " << lengths.input;
}

constexpr Lengths kRefused = {false, 0, 0};

struct DescriptorCase {
    const char* name;
    Bytes descriptor;
    Lengths expected;
};

// The unit's report 1 fields, as a reader would see them in a descriptor dump.
Bytes commandReportOf(std::uint32_t dataBytes) {
    return concat({reportId(1), reportSize(8), reportCount(dataBytes), output()});
}
Bytes answerReportOf(std::uint32_t dataBytes) {
    return concat({reportId(2), reportSize(8), reportCount(dataBytes), input()});
}

Bytes pushes(std::uint32_t count) { return Bytes(count, push()[0]); }
Bytes pops(std::uint32_t count) { return Bytes(count, pop()[0]); }

// The first `bytes` bytes of a descriptor: an item cut off in the middle.
Bytes truncated(Bytes descriptor, std::size_t bytes) {
    descriptor.resize(bytes);
    return descriptor;
}

std::vector<DescriptorCase> descriptorCases() {
    const Bytes unit = unitReportDescriptor(59, 59);
    return {
        {"TheUnitsDescriptor", unit, {true, 60, 60}},
        {"ShorterReports", unitReportDescriptor(48, 40), {true, 49, 41}},
        {"LongerReports", unitReportDescriptor(63, 127), {true, 64, 128}},
        {"AnswerReportDeclaredFirst",
         concat({usagePage(kVendorPage), usage(1), applicationCollection(), answerReportOf(59),
                 commandReportOf(59), endCollection()}),
         {true, 60, 60}},
        {"ReportSplitOverSeveralItems",
         concat({reportId(1), reportSize(8), reportCount(3), output(), reportCount(56), output(),
                 answerReportOf(59)}),
         {true, 60, 60}},
        {"ReportResumedAfterAnotherOne",
         concat({reportId(1), reportSize(8), reportCount(30), output(), answerReportOf(59),
                 reportId(1), reportCount(29), output()}),
         {true, 60, 60}},
        {"BitFieldsRoundUpToWholeBytes",
         concat({reportId(1), reportSize(1), reportCount(3), output(), reportSize(8),
                 reportCount(58), output(), answerReportOf(59)}),
         {true, 60, 60}},
        {"InputAndFeatureFieldsOfTheCommandReportDoNotCount",
         concat({commandReportOf(59), reportCount(7), input(), feature(), answerReportOf(59)}),
         {true, 60, 60}},
        {"OtherReportsDoNotCount",
         concat({reportId(3), reportSize(8), reportCount(200), output(), input(),
                 commandReportOf(59), answerReportOf(59)}),
         {true, 60, 60}},
        {"PopRestoresIdSizeAndCount",
         concat({reportId(1), reportSize(8), reportCount(59), push(), reportId(4), reportSize(16),
                 reportCount(9), output(), pop(), output(), answerReportOf(59)}),
         {true, 60, 60}},
        {"DeepestPushAccepted",
         concat({pushes(256), pops(256), commandReportOf(59), answerReportOf(59)}),
         {true, 60, 60}},
        {"LongItemSkipped",
         concat({commandReportOf(59), longItem(5), answerReportOf(59)}),
         {true, 60, 60}},
        {"EmptyLongItemSkipped",
         concat({longItem(0), commandReportOf(59), answerReportOf(59)}),
         {true, 60, 60}},

        {"Empty", {}, kRefused},
        {"NoReportIds", concat({reportSize(8), reportCount(59), output(), input()}), kRefused},
        {"CommandReportAbsent", concat({answerReportOf(59)}), kRefused},
        {"AnswerReportAbsent", concat({commandReportOf(59)}), kRefused},
        {"CommandReportOnlyAsInput",
         concat({reportId(1), reportSize(8), reportCount(59), input(), answerReportOf(59)}),
         kRefused},
        {"CommandReportOfNoBits", concat({commandReportOf(0), answerReportOf(59)}), kRefused},
        {"ShortItemTruncated", truncated(concat({unit, logicalMaximum(0x1234)}), unit.size() + 2),
         kRefused},
        {"FourByteItemTruncated", truncated(concat({unit, reportCount(0x10000)}), unit.size() + 3),
         kRefused},
        {"LongItemHeaderTruncated", truncated(concat({unit, longItem(4)}), unit.size() + 2),
         kRefused},
        {"LongItemDataTruncated", truncated(concat({unit, longItem(4)}), unit.size() + 5),
         kRefused},
        {"SizeTimesCountOverflows",
         concat({reportId(1), reportSize(0xFFFFFFFF), reportCount(0xFFFFFFFF), output(),
                 answerReportOf(59)}),
         kRefused},
        {"ReportLongerThanAnySystemCarries",
         concat({reportId(1), reportSize(8), reportCount(16384), output(), answerReportOf(59)}),
         kRefused},
        {"LongestReportAnySystemCarries",
         concat({reportId(1), reportSize(8), reportCount(16383), output(), answerReportOf(59)}),
         {true, 16384, 60}},
        {"ManyItemsAddingUpPastAnyReport",
         concat({reportId(2), reportSize(8), reportCount(8192), input(), input(), input(),
                 commandReportOf(59)}),
         kRefused},
        {"TooManyPushes", concat({pushes(257), commandReportOf(59), answerReportOf(59)}), kRefused},
        {"PopWithoutPush", concat({commandReportOf(59), pop(), answerReportOf(59)}), kRefused},
        {"ReportIdZero", concat({reportId(0), commandReportOf(59), answerReportOf(59)}), kRefused},
        {"ReportIdAbove255", concat({reportId(256), commandReportOf(59), answerReportOf(59)}),
         kRefused},
    };
}

void PrintTo(const DescriptorCase& row, std::ostream* out) { *out << row.name; }

class UnitReportLengthsTest : public ::testing::TestWithParam<DescriptorCase> {};

// A heap block exactly as long as the descriptor, so that the sanitizers catch any read past
// its end.
Lengths lengthsOf(const Bytes& descriptor) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[descriptor.size()]);
    if (!descriptor.empty()) std::memcpy(exact.get(), descriptor.data(), descriptor.size());
    Lengths lengths{};
    lengths.found =
        unitReportLengths(exact.get(), descriptor.size(), &lengths.output, &lengths.input);
    return lengths.found ? lengths : kRefused;
}

TEST_P(UnitReportLengthsTest, AreReadFromTheDescriptor) {
    EXPECT_EQ(lengthsOf(GetParam().descriptor), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, UnitReportLengthsTest, ::testing::ValuesIn(descriptorCases()),
                         [](const ::testing::TestParamInfo<DescriptorCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(ReportDescriptorTest, TheUnitsDescriptorCutShortIsRefused) {
    // Every cut before the closing End Collection loses part of a report or all of it.
    const Bytes unit = unitReportDescriptor(59, 59);
    for (std::size_t size = 0; size < unit.size() - endCollection().size(); ++size)
        EXPECT_EQ(lengthsOf(Bytes(unit.begin(), unit.begin() + static_cast<std::ptrdiff_t>(size))),
                  kRefused)
            << "cut after " << size << " bytes";
}

}  // namespace
