// What a complete update of the carried image looks like from the unit's side, written down once
// for every test layer (native, Wine, end to end, bench). Plain literals, not the product's
// constants, so that a changed constant in the program fails a test instead of moving it along.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace updatefacts {

// The carried image and the blocks it travels in. The last block is short: 8 words, and its
// length byte says 32.
inline constexpr std::uint32_t imageBytes = 97808;
inline constexpr std::uint32_t blockBytes = 48;
inline constexpr std::uint32_t blocks = 2038;
inline constexpr std::uint32_t lastBlockBytes = 32;
inline constexpr std::uint32_t lastBlockWords = 8;

// The firmware version the image carries: 3.3.
inline constexpr std::uint16_t carriedVersion = 0x0303;
inline constexpr unsigned carriedVersionMajor = 3;
inline constexpr unsigned carriedVersionMinor = 3;

// Command codes in the order the unit receives them. Identification of a unit running its
// application: Identify, ReadEscMemory, ReadEscBootInfo. A unit in its own bootloader: Identify,
// ReadUnitMemory, and nothing further.
inline constexpr std::uint8_t identifyCommands[] = {0x08, 0x1D, 0x22};
inline constexpr std::uint8_t bootloaderUnitIdentifyCommands[] = {0x08, 0x0A};

struct CommandRun {
    std::uint8_t code;
    std::uint32_t count;
};

inline constexpr CommandRun updateCommands[] = {
    {0x08, 1},       // Identify: the ESC behind the unit is asked for again, right before the lock
    {0x1D, 1},       // ReadEscMemory
    {0x22, 1},       // ReadEscBootInfo
    {0x0B, 1},       // SystemLock, set
    {0x20, 1},       // WriteProtect, remove
    {0x1E, 1},       // EraseFirmware
    {0x1F, 1},       // SetWriteAddress
    {0x1B, blocks},  // WriteDataBlock, one per block
    {0x20, 1},       // WriteProtect, restore
    {0x0B, 1},       // SystemLock, release
};
inline constexpr std::uint32_t updateCommandCount = 2047;

// Every pause of an update, in milliseconds and in order. The erase's 1000 passes inside its
// transaction, between sending it and reading its answer; the bootloader goes on erasing after
// it answered, hence the 4000 after it.
inline constexpr std::uint32_t pausesBeforeTransferMs[] = {
    20,    // after identifying the ESC again
    20,    // after the lock
    20,    // after removing the write protection
    1000,  // inside the erase, before its answer is read
    4000,  // after the erase
    20,    // then, before the address
    20,    // after the address
};
inline constexpr std::uint32_t blockPauseMs = 20;  // after each block, the last one too
inline constexpr std::uint32_t fixedPausesBeforeTransferMs = 5100;
inline constexpr std::uint32_t fixedPausesMs = 45860;

// The longest a silent unit keeps the program waiting for one answer before the read fails.
inline constexpr std::uint32_t silentUnitWaitMs = 10000;

// The command codes of a complete update, one per report.
inline std::vector<std::uint8_t> updateCommandOrder() {
    std::vector<std::uint8_t> codes;
    for (const CommandRun& run : updateCommands) codes.insert(codes.end(), run.count, run.code);
    return codes;
}

// The pauses of a complete update, one per pause.
inline std::vector<std::uint32_t> updatePausesMs() {
    std::vector<std::uint32_t> pauses(std::begin(pausesBeforeTransferMs),
                                      std::end(pausesBeforeTransferMs));
    pauses.insert(pauses.end(), blocks, blockPauseMs);
    return pauses;
}

namespace detail {

constexpr std::uint32_t commandCount() {
    std::uint32_t n = 0;
    for (const CommandRun& run : updateCommands) n += run.count;
    return n;
}

constexpr std::uint32_t pausesBeforeTransferSum() {
    std::uint32_t sum = 0;
    for (std::uint32_t ms : pausesBeforeTransferMs) sum += ms;
    return sum;
}

}  // namespace detail

static_assert((blocks - 1) * blockBytes + lastBlockBytes == imageBytes,
              "full blocks and the short last one make up the image");
static_assert(lastBlockBytes < blockBytes && lastBlockWords * 4 == lastBlockBytes,
              "the last block is short and made of whole words");
static_assert(carriedVersion == (carriedVersionMajor << 8 | carriedVersionMinor),
              "the version word is major, then minor");
static_assert(detail::commandCount() == updateCommandCount, "the command list and its count");
static_assert(detail::pausesBeforeTransferSum() == fixedPausesBeforeTransferMs,
              "the pauses before the transfer and their total");
static_assert(fixedPausesBeforeTransferMs + blocks * blockPauseMs == fixedPausesMs,
              "the pauses of a whole update and their total");

}  // namespace updatefacts
