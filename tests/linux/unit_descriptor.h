// HID report descriptor items, and the programming unit's descriptor built from them: what the
// emulated hidraw node presents, and what the parser's tests vary.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace hiditems {

using Bytes = std::vector<std::uint8_t>;

// A short item whose value takes `bytes` bytes (1, 2 or 4).
inline Bytes itemOfBytes(std::uint8_t typeAndTag, std::uint32_t value, std::uint8_t bytes) {
    const std::uint8_t sizeCode = bytes == 4 ? 3 : bytes;
    Bytes item{static_cast<std::uint8_t>(typeAndTag | sizeCode)};
    for (std::uint8_t i = 0; i < bytes; ++i)
        item.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return item;
}

// A short item with its unsigned value in the fewest bytes that hold it.
inline Bytes shortItem(std::uint8_t typeAndTag, std::uint32_t value) {
    return itemOfBytes(typeAndTag, value, value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : 4);
}

// Logical extents are signed: 255 takes two bytes, or it would read as -1.
inline Bytes signedItem(std::uint8_t typeAndTag, std::int32_t value) {
    const std::uint8_t bytes = value >= -0x80 && value < 0x80       ? 1
                               : value >= -0x8000 && value < 0x8000 ? 2
                                                                    : 4;
    return itemOfBytes(typeAndTag, static_cast<std::uint32_t>(value), bytes);
}

inline Bytes usagePage(std::uint32_t page) { return shortItem(0x04, page); }
inline Bytes usage(std::uint32_t id) { return shortItem(0x08, id); }
inline Bytes logicalMinimum(std::int32_t value) { return signedItem(0x14, value); }
inline Bytes logicalMaximum(std::int32_t value) { return signedItem(0x24, value); }
inline Bytes reportSize(std::uint32_t bits) { return shortItem(0x74, bits); }
inline Bytes reportId(std::uint32_t id) { return shortItem(0x84, id); }
inline Bytes reportCount(std::uint32_t count) { return shortItem(0x94, count); }
inline Bytes push() { return {0xA4}; }
inline Bytes pop() { return {0xB4}; }
inline Bytes applicationCollection() { return {0xA1, 0x01}; }
inline Bytes endCollection() { return {0xC0}; }
constexpr std::uint8_t kDataVariableAbsolute = 0x02;
inline Bytes input() { return {0x81, kDataVariableAbsolute}; }
inline Bytes output() { return {0x91, kDataVariableAbsolute}; }
inline Bytes feature() { return {0xB1, kDataVariableAbsolute}; }
// A long item with `dataBytes` bytes of data.
inline Bytes longItem(std::uint8_t dataBytes) {
    Bytes item{0xFE, dataBytes, 0xF0};
    item.resize(item.size() + dataBytes, 0x5A);
    return item;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

constexpr std::uint32_t kVendorPage = 0xFF00;
constexpr std::uint32_t kUnitUsage = 1;
constexpr std::uint32_t kByteBits = 8;
constexpr std::uint32_t kUnitCommandReportId = 1;
constexpr std::uint32_t kUnitAnswerReportId = 2;

// The unit's descriptor: one vendor collection with output report 1 and input report 2 of
// whole bytes. The unit itself declares 59 data bytes for each.
inline Bytes unitReportDescriptor(std::uint32_t outputDataBytes, std::uint32_t inputDataBytes) {
    return concat({usagePage(kVendorPage), usage(kUnitUsage), applicationCollection(),
                   reportId(kUnitCommandReportId), usage(kUnitUsage), logicalMinimum(0),
                   logicalMaximum(0xFF), reportSize(kByteBits), reportCount(outputDataBytes),
                   output(), reportId(kUnitAnswerReportId), usage(kUnitUsage),
                   reportCount(inputDataBytes), input(), endCollection()});
}

}  // namespace hiditems
