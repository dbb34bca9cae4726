// The simulated programming unit and the ESC bootloader behind it: answers every command report
// as the real unit does, with fault injection and a record of what it received. Every behaviour
// and fault lives here, down to which reports reach the host when (simUnitExchange); the
// in-process bus, the pipe server and the emulated hidraw node only carry them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class SimFaultKind {
    errorAnswer,  // byte 1 = 0xFF with `code` at bytes 4 to 7
    refusal,      // a normal answer whose status byte 3 refuses the step
    noAnswer,     // the request is taken, no input report ever follows
    disconnect,   // the unit vanishes: this and every later read and write fail
    malformed,    // a garbled answer: random-looking bytes, report ID and status included
    garbled,      // the unit acts, then its answer is random-looking bytes under report ID 2
    answerTwice,  // the answer arrives, then the same answer again
    unasked,      // the answer arrives, then a report nobody asked for (an error answer, `code`)
    lateAnswer,   // the answer arrives kSimLateAnswerMs after the request
    vanishBeforeAnswer,  // the request is taken, then the unit vanishes before it answers
    duplicateLate,  // the answer arrives, then the same answer again `code` ms after the request
    cutShort,       // the answer arrives with only its first `code` bytes
    overlong,       // the answer arrives one byte longer than the input report
    swapEsc,        // before this request is answered, the ESC behind the unit becomes `swapTo`
    cutWrite,       // the system takes only the first `code` bytes of the report, and says so
};

// Far past the longest time any sane host waits for an answer.
constexpr std::uint32_t kSimLateAnswerMs = 30000;

struct SimFault {
    std::uint8_t command;      // command code the fault applies to
    std::uint32_t occurrence;  // 1 = the first time that command arrives
    SimFaultKind kind;
    std::uint32_t code;  // errorAnswer: the code; duplicateLate: the delay; cutShort: the bytes
};

// The ESC behind the unit, as identification sees it. Swapping it on the unit's cable makes no
// USB event: the unit stays plugged and answers on.
struct SimEsc {
    std::uint16_t state = 0;  // 3: an updatable ESC (its bootloader) answers
    std::uint16_t stateDetail = 0;
    std::uint8_t info[32] = {};      // firmware version u16 at offset 4
    std::uint8_t bootInfo[40] = {};  // type ID u32 at 0, bootloader version u32 at 4
};

struct SimHold {
    std::uint8_t command;
    std::uint32_t occurrence;  // 1 = the first time that command arrives
};

struct SimReceived {
    std::vector<std::uint8_t> bytes;  // the whole output report as written
    std::uint64_t writtenAtMs;        // the clock when the report arrived
    std::uint64_t readAtMs;           // the clock when its answer was taken; 0 if never
};

// An ESC read that answers normally instead of with an error code.
constexpr std::uint16_t kSimAnswerNormally = 0xFFFF;

struct SimUnit {
    // What the unit reports about itself and the ESC.
    std::uint16_t productId = 2;
    std::string serialNumber = "TL0000017";  // the USB serial number; empty: none
    std::uint32_t outputReportLength = 60;
    std::uint32_t inputReportLength = 60;
    bool capabilitiesFail = false;
    bool inBootloader = false;
    std::uint8_t bootIdentity[12] = {};  // Identify bytes 4 to 15 in bootloader mode
    std::uint32_t unitFirmwareVersion = 0x00010200;
    std::uint32_t unitInfoWord = 0;
    std::uint16_t escState = 3;
    std::uint16_t escStateDetail = 0;
    std::uint8_t escInfo[32] = {};      // firmware version u16 at offset 4
    std::uint8_t escBootInfo[40] = {};  // type ID u32 at 0, bootloader version u32 at 4
    std::uint16_t escInfoErrorCode = kSimAnswerNormally;
    std::uint16_t escBootInfoErrorCode = kSimAnswerNormally;

    // What the ESC bootloader holds now.
    bool locked = false;
    bool writeProtected = true;
    bool erased = false;
    bool addressSet = false;
    std::vector<std::uint8_t> flash;  // bytes written since the erase, in order
    // The firmware version the ESC reports once write protection is restored after a
    // transfer; 0: it goes on reporting the version it had.
    std::uint16_t escVersionAfterUpdate = 0;

    SimEsc swapTo;  // what a swapEsc fault connects

    // Answers kept back until the test releases them: the `occurrence`th report of `command`
    // (each used up once it struck).
    std::vector<SimHold> holds;

    std::vector<SimFault> faults;
    std::vector<SimReceived> received;
    std::uint32_t commandCounts[256] = {};
    std::uint32_t unaskedCode = 0;  // of the last `unasked` fault that struck
    std::uint32_t lastFaultCode = 0;  // of the last fault that struck
    bool connected = true;
};

constexpr std::uint32_t kSupportedEscType = 0x111F403C;
constexpr std::uint32_t kSupportedEscTypeAlt = 0x0A06403C;

// A ready TAVILINK with a supported ESC running `escVersion`.
SimUnit simReadyUnit(std::uint16_t escVersion = 0x0302);
void simSetEscFirmwareVersion(SimUnit& unit, std::uint16_t version);
void simSetEscType(SimUnit& unit, std::uint32_t typeId, std::uint32_t bootloaderVersion);

constexpr std::uint32_t kSimEscBootloaderVersion = 0x02000105;
// An ESC of `typeId` running `version`, ready for its bootloader to be written.
SimEsc simReadyEsc(std::uint16_t version = 0x0302, std::uint32_t typeId = kSupportedEscType,
                   std::uint32_t bootloaderVersion = kSimEscBootloaderVersion);
// No ESC on the cable (or one without power): the unit reports no updatable ESC.
SimEsc simNoEsc();
// Puts `esc` behind the unit, as a user swapping the ESC on the cable would.
void simConnectEsc(SimUnit& unit, const SimEsc& esc);

// What one output report brings about, for a transport to carry: how much of the report the
// system took, and the input reports the unit sends for it, each at its time after the request.
// The in-process bus, the pipe server and the emulated hidraw node deliver exactly these, each on
// its own clock; every fault is decided here.
constexpr std::size_t kSimUnasked = ~std::size_t{0};

struct SimDelivery {
    std::vector<std::uint8_t> bytes;  // the input report as it reaches the host, whole or not
    std::uint32_t afterMs;            // after the request
    std::size_t answers;  // the request it answers, an index into `received`; kSimUnasked if none
};

struct SimExchange {
    bool taken;                   // false: the unit is gone, and the write fails
    bool vanished;                // the unit went with this request (after taking it, or instead)
    std::uint32_t bytesTaken;     // fewer than the report's length: a write cut short
    bool held;                    // the deliveries wait until the test releases them
    std::vector<SimDelivery> deliveries;
};

// Takes one output report of `length` bytes at `nowMs` on the unit's clock.
SimExchange simUnitExchange(SimUnit& unit, const std::uint8_t* report, std::uint32_t length,
                            std::uint64_t nowMs);

// Command codes in the order the unit received them.
std::vector<std::uint8_t> simCommandOrder(const SimUnit& unit);
