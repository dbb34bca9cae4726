// Identification: report lengths from the HID capabilities, then what the unit says of itself
// and of the ESC behind it.
#include <cstring>

#include "link/bytes.h"
#include "link/commands.h"
#include "link/identify.h"

namespace {

// The report lengths a unit must announce: the buffers hold 60 bytes, the output report must
// carry a whole data block, and the input report the longest answer read, the ESC bootloader
// information. A unit that announces less is not written to at all: finding that out at the
// first block would leave an erased ESC behind.
constexpr std::uint32_t kShortestOutputReport = kReportHeaderSize + kBlockBytes;
constexpr std::uint32_t kShortestInputReport = kReportHeaderSize + kEscBootInfoLength;

bool reportLengthsFit(std::uint32_t outputLength, std::uint32_t inputLength) {
    return outputLength >= kShortestOutputReport && outputLength <= kReportBufferSize &&
           inputLength >= kShortestInputReport && inputLength <= kReportBufferSize;
}

LinkResult readUnitMemory(ProgrammerLink& link) {
    Report request = commandReport(ReadUnitMemory, 12);
    writeU32(request.bytes + 4, kUnitVersionAddress);
    Report response;
    LinkResult result = exchangeReports(request, kReportHeaderSize + 4, response);
    if (result != kLinkOk) return result;
    link.unitFirmwareVersion = readU32(response.bytes + 8);
    link.unitInfoWord = readU32(response.bytes + 12);
    return kLinkOk;
}

LinkResult readEscInfo(ProgrammerLink& link) {
    Report request = commandReport(ReadEscMemory, 8);
    writeU32(request.bytes + 4, kEscInfoLength);
    writeU32(request.bytes + 8, kEscInfoOffset);
    Report response;
    LinkResult result = exchangeReports(request, kReportHeaderSize + 8, response);
    if (result != kLinkOk) return result;
    if (isErrorAnswer(response)) return readU16(response.bytes + 4);
    std::memcpy(link.escInfo, response.bytes + 4, sizeof link.escInfo);
    return kLinkOk;
}

LinkResult readEscBootInfo(ProgrammerLink& link) {
    Report response;
    LinkResult result =
        exchangeReports(commandReport(ReadEscBootInfo, 0), kReportHeaderSize, response);
    if (result != kLinkOk) return result;
    if (isErrorAnswer(response)) return readU16(response.bytes + 4);
    static_assert(sizeof link.escBootInfo == kEscBootInfoLength);
    std::memcpy(link.escBootInfo, response.bytes + 4, kEscBootInfoLength);
    return kLinkOk;
}

}  // namespace

LinkResult identifyProgrammer() {
    ProgrammerLink& link = programmerLink;
    if (link.handle == kNoDevice || link.devicePath == nullptr) return kLinkNoLink;
    std::uint32_t outputLength = 0;
    std::uint32_t inputLength = 0;
    if (!deviceReportLengths(link.handle, &outputLength, &inputLength)) return kLinkNoLink;
    link.outputReportLength = outputLength;
    link.inputReportLength = inputLength;
    if (!reportLengthsFit(outputLength, inputLength)) return kLinkNoLink;
    return askIdentity(link);
}

LinkResult askIdentity(ProgrammerLink& link) {
    if (programmerLink.handle == kNoDevice) return kLinkNoLink;
    // What an earlier asking learnt goes: a field this one does not reach reads zero, as after
    // a reset, and never keeps a value of another ESC.
    link.unitInBootloader = 0;
    link.unitFirmwareVersion = 0;
    link.unitInfoWord = 0;
    link.escState = 0;
    link.escStateDetail = 0;
    link.bootIdentity = {};
    std::memset(link.escInfo, 0, sizeof link.escInfo);
    std::memset(link.escBootInfo, 0, sizeof link.escBootInfo);
    Report response;
    LinkResult result = exchangeReports(commandReport(Identify, 0), kReportHeaderSize, response);
    if (result != kLinkOk) return result;
    // An error answer carries no identity: read as one, its code would pass for the ESC's state.
    if (isErrorAnswer(response)) return judgeCode32(response);
    const std::uint8_t* answer = response.bytes;
    link.unitInBootloader = answer[3];
    if (link.unitInBootloader != 0) {
        link.bootIdentity = {answer[4], readU16(answer + 5), readU32(answer + 7),
                             readU32(answer + 11), answer[15]};
        return readUnitMemory(link);
    }
    link.escState = readU16(answer + 4);
    link.escStateDetail = readU16(answer + 6);
    link.unitFirmwareVersion = readU32(answer + 8);
    link.unitInfoWord = readU32(answer + 12);
    if (link.escState != kEscStateUpdatable) return kLinkOk;

    result = readEscInfo(link);
    if (result != kLinkOk) return result;
    return readEscBootInfo(link);
}

LinkReadiness linkReadiness() { return linkReadinessOf(programmerLink); }

LinkReadiness linkReadinessOf(const ProgrammerLink& link) {
    if (link.handle == kNoDevice || !link.identified) return LinkReadiness::noUnit;
    if (link.unitInBootloader != 0) return LinkReadiness::wrongMode;
    if (link.escState != kEscStateUpdatable) return LinkReadiness::noUpdatableEsc;
    if (!isSupportedEscType(escTypeId(link))) return LinkReadiness::incompatibleEsc;
    return LinkReadiness::ready;
}

bool isSupportedEscType(std::uint32_t typeId) {
    for (std::uint32_t supported : kSupportedEscTypeIds)
        if (typeId == supported) return true;
    return false;
}

bool sameUnitAndEsc(const ProgrammerLink& a, const ProgrammerLink& b) {
    return a.usbProductId == b.usbProductId && a.unitInBootloader == b.unitInBootloader &&
           a.unitFirmwareVersion == b.unitFirmwareVersion && a.escState == b.escState &&
           escTypeId(a) == escTypeId(b) && escBootloaderVersion(a) == escBootloaderVersion(b) &&
           escFirmwareVersion(a) == escFirmwareVersion(b);
}
