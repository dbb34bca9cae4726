#include "link/programmer_link.h"

#include <cstdlib>
#include <cstring>

#include "link/bytes.h"

ProgrammerLink programmerLink = {kNoDevice};

void resetProgrammerLink() {
    std::memset(&programmerLink, 0, sizeof programmerLink);
    programmerLink.handle = kNoDevice;
}

bool linkIsOpen() { return programmerLink.handle != kNoDevice; }

void closeProgrammer() {
    if (programmerLink.handle != kNoDevice) deviceClose(programmerLink.handle);
    std::free(programmerLink.devicePath);
    resetProgrammerLink();
}

std::uint16_t escFirmwareVersion(const ProgrammerLink& link) {
    return readU16(link.escInfo + kEscFirmwareVersionOffset);
}

void setEscFirmwareVersion(std::uint16_t version) {
    writeU16(programmerLink.escInfo + kEscFirmwareVersionOffset, version);
}

std::uint32_t escTypeId(const ProgrammerLink& link) {
    return readU32(link.escBootInfo + kEscTypeIdOffset);
}

std::uint32_t escBootloaderVersion(const ProgrammerLink& link) {
    return readU32(link.escBootInfo + kEscBootloaderVersionOffset);
}
