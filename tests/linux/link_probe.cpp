// Drives the link through the Linux backend, the way the programs do, and prints what it saw:
// the backend's proof against the emulated node, independent of any front end.
//
//   hidraw_link_probe identify
//   hidraw_link_probe round-trips COUNT
//   hidraw_link_probe blocks COUNT IMAGE
//   hidraw_link_probe hold        keeps the unit open until its input ends
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "link/bytes.h"
#include "link/commands.h"
#include "link/device_io.h"
#include "link/identify.h"
#include "link/open_link.h"
#include "link/programmer_link.h"

namespace {

const char* readinessName(LinkReadiness readiness) {
    switch (readiness) {
        case LinkReadiness::noUnit: return "no unit";
        case LinkReadiness::wrongMode: return "wrong mode";
        case LinkReadiness::noUpdatableEsc: return "no updatable ESC";
        case LinkReadiness::incompatibleEsc: return "incompatible ESC";
        case LinkReadiness::ready: return "ready";
    }
    return "?";
}

// Each trip asks for another address; the unit names it in its answer, so an answer taken for
// the wrong request shows.
bool roundTripIntact(std::uint32_t trip) {
    const std::uint32_t address = kUnitVersionAddress + trip * 4;
    Report request = commandReport(ReadUnitMemory, 12);
    writeU32(request.bytes + 4, address);
    Report response;
    if (exchangeReports(request, kReportHeaderSize + 4, response) != kLinkOk) return false;
    return response.bytes[1] == ReadUnitMemory && readU32(response.bytes + 4) == address;
}

void printBytes(const char* name, const std::uint8_t* bytes, std::size_t count) {
    std::printf("%s: ", name);
    for (std::size_t i = 0; i < count; ++i) std::printf("%02X", bytes[i]);
    std::printf("\n");
}

// Tells that the unit is open, then keeps it so until there is no more input.
void holdUntilInputEnds() {
    std::printf("holding\n");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
    }
}

bool step(const char* name, LinkResult result) {
    std::printf("%s: %d (system error %u)\n", name, result, lastSystemError());
    return result == kLinkOk;
}

int sendBlocks(std::uint32_t count, const char* imagePath) {
    std::ifstream file(imagePath, std::ios::binary);
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(file),
                                          std::istreambuf_iterator<char>()};
    if (image.size() < std::size_t{count} * kBlockBytes) {
        std::printf("image: too short for %u blocks\n", count);
        return EXIT_FAILURE;
    }
    if (!step("lock", lockUnit()) || !step("unlock", removeWriteProtection()) ||
        !step("erase", eraseFirmware()) || !step("address", setWriteAddress()))
        return EXIT_FAILURE;
    std::uint32_t sent = 0;
    LinkResult result = kLinkOk;
    while (sent < count && result == kLinkOk) {
        std::uint32_t words = 0;
        result = writeDataBlock(image.data() + sent * kBlockBytes, kBlockBytes / 4, &words);
        if (result == kLinkOk) ++sent;
    }
    std::printf("blocks sent: %u of %u\n", sent, count);
    return step("last block", result) ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s identify | round-trips COUNT | blocks COUNT IMAGE | hold\n",
                     argv[0]);
        return EXIT_FAILURE;
    }
    const LinkResult opened = openProgrammer();
    std::printf("open: %d (system error %u)\n", opened, lastSystemError());
    std::printf("readiness: %s\n", readinessName(linkReadiness()));
    if (opened != kLinkOk) return EXIT_FAILURE;
    std::printf("report lengths: output %u, input %u\n", programmerLink.outputReportLength,
                programmerLink.inputReportLength);
    std::printf("esc firmware: 0x%04X\n", escFirmwareVersion());
    std::printf("esc type: 0x%08X\n", escTypeId());
    printBytes("esc boot info", programmerLink.escBootInfo, sizeof programmerLink.escBootInfo);

    int status = EXIT_SUCCESS;
    if (std::strcmp(argv[1], "round-trips") == 0 && argc == 3) {
        const auto trips = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
        std::uint32_t intact = 0;
        for (std::uint32_t trip = 0; trip < trips; ++trip) intact += roundTripIntact(trip) ? 1 : 0;
        std::printf("round trips intact: %u of %u\n", intact, trips);
        if (intact != trips) status = EXIT_FAILURE;
    } else if (std::strcmp(argv[1], "blocks") == 0 && argc == 4) {
        status =
            sendBlocks(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)), argv[3]);
    } else if (std::strcmp(argv[1], "hold") == 0) {
        holdUntilInputEnds();
    }
    closeProgrammer();
    return status;
}
