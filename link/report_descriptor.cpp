#include "link/report_descriptor.h"

#include <cstring>

#include "link/commands.h"

namespace {

// Item prefix: bits 0-1 the data size code, 2-3 the type, 4-7 the tag.
constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::size_t kLongItemHeaderBytes = 3;  // prefix, data size, tag
constexpr std::uint8_t kSizeMask = 0x03;
constexpr std::uint8_t kTypeShift = 2;
constexpr std::uint8_t kTypeMask = 0x03;
constexpr std::uint8_t kTagShift = 4;
constexpr std::size_t kDataBytesForSizeCode[] = {0, 1, 2, 4};

enum ItemType : std::uint8_t { mainItem = 0, globalItem = 1 };

enum MainTag : std::uint8_t { inputTag = 0x8, outputTag = 0x9, featureTag = 0xB };
enum GlobalTag : std::uint8_t {
    reportSizeTag = 0x7,
    reportIdTag = 0x8,
    reportCountTag = 0x9,
    pushTag = 0xA,
    popTag = 0xB,
};

// Deeper nesting than any real descriptor uses; the bound keeps a hostile one from growing
// the stack without end.
constexpr std::uint32_t kMaxPushDepth = 256;
// No HID transport carries a longer report, report-ID byte included (it is the Linux HID
// core's own limit); a larger sum is a broken or hostile descriptor, and the bound keeps every
// sum far from overflow.
constexpr std::uint64_t kMaxReportBytes = 16384;
constexpr std::uint64_t kMaxReportBits = (kMaxReportBytes - 1) * 8;
constexpr std::uint32_t kLargestReportId = 255;

struct GlobalState {
    std::uint32_t reportId;
    std::uint32_t reportSize;
    std::uint32_t reportCount;
};

std::uint32_t itemValue(const std::uint8_t* data, std::size_t bytes) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    return value;
}

bool addField(ReportLayout* layout, const GlobalState& state, ReportKind kind) {
    std::uint32_t& bits = layout->bits[state.reportId][static_cast<std::size_t>(kind)];
    const std::uint64_t total =
        std::uint64_t{bits} + std::uint64_t{state.reportSize} * std::uint64_t{state.reportCount};
    if (total > kMaxReportBits) return false;
    bits = static_cast<std::uint32_t>(total);
    return true;
}

}  // namespace

bool parseReportDescriptor(const std::uint8_t* descriptor, std::size_t size, ReportLayout* layout) {
    std::memset(layout, 0, sizeof *layout);
    GlobalState state{};
    GlobalState pushed[kMaxPushDepth];
    std::uint32_t depth = 0;

    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t prefix = descriptor[at];
        if (prefix == kLongItemPrefix) {
            // Long items carry nothing the lengths depend on.
            if (size - at < kLongItemHeaderBytes) return false;
            const std::size_t dataBytes = descriptor[at + 1];
            if (size - at - kLongItemHeaderBytes < dataBytes) return false;
            at += kLongItemHeaderBytes + dataBytes;
            continue;
        }
        const std::size_t dataBytes = kDataBytesForSizeCode[prefix & kSizeMask];
        if (size - at - 1 < dataBytes) return false;
        const std::uint32_t value = itemValue(descriptor + at + 1, dataBytes);
        const std::uint8_t type = (prefix >> kTypeShift) & kTypeMask;
        const std::uint8_t tag = prefix >> kTagShift;
        at += 1 + dataBytes;

        if (type == mainItem) {
            bool added = true;
            if (tag == inputTag)
                added = addField(layout, state, ReportKind::input);
            else if (tag == outputTag)
                added = addField(layout, state, ReportKind::output);
            else if (tag == featureTag)
                added = addField(layout, state, ReportKind::feature);
            if (!added) return false;
        } else if (type == globalItem) {
            switch (tag) {
                case reportSizeTag: state.reportSize = value; break;
                case reportCountTag: state.reportCount = value; break;
                case reportIdTag:
                    // ID 0 is reserved for devices without report IDs; it cannot be declared.
                    if (value == 0 || value > kLargestReportId) return false;
                    state.reportId = value;
                    break;
                case pushTag:
                    if (depth == kMaxPushDepth) return false;
                    pushed[depth++] = state;
                    break;
                case popTag:
                    if (depth == 0) return false;
                    state = pushed[--depth];
                    break;
                default: break;
            }
        }
    }
    return true;
}

std::uint32_t reportByteLength(const ReportLayout& layout, std::uint8_t reportId, ReportKind kind) {
    const std::uint32_t bits = layout.bits[reportId][static_cast<std::size_t>(kind)];
    if (bits == 0) return 0;
    return (bits + 7) / 8 + 1;
}

bool unitReportLengths(const std::uint8_t* descriptor, std::size_t size,
                       std::uint32_t* outputLength, std::uint32_t* inputLength) {
    ReportLayout layout;
    if (!parseReportDescriptor(descriptor, size, &layout)) return false;
    const std::uint32_t output = reportByteLength(layout, kCommandReportId, ReportKind::output);
    const std::uint32_t input = reportByteLength(layout, kResponseReportId, ReportKind::input);
    if (output == 0 || input == 0) return false;
    *outputLength = output;
    *inputLength = input;
    return true;
}
