// Identification: report lengths from the HID capabilities, then what the unit says of itself
// and of the ESC behind it.
#include <cstring>

#include "link/bytes.h"
#include "link/commands.h"
#include "link/programmer_link.h"

namespace {

constexpr std::uint32_t kEscBootInfoLength = 40;

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

    Report response;
    LinkResult result =
        exchangeReports(commandReport(Identify, 0), kReportHeaderSize, response);
    if (result != kLinkOk) return result;
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
