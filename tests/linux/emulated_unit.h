// A programming unit behind an emulated hidraw node: a umockdev testbed whose node the simulated
// unit serves, and programs run against it in the mock environment as they would run against
// the real device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/unit_model.h"
#include "tests/linux/unit_descriptor.h"

struct EmulatedUnit;

enum class NodeAccess {
    granted,
    denied,  // the node's permissions refuse the program, as without the udev rule
};

// Starts this program again with the umockdev preload library unless it already runs with it:
// the testbed itself needs it, to see its own sysfs. Call first thing in main().
void runUnderMockPreload(char** argv);

// The unit's node is always /dev/hidraw0; other devices follow it.
constexpr const char* kUnitNode = "/dev/hidraw0";
constexpr const char* kFirstOtherNode = "/dev/hidraw1";

// Sets up the testbed: the unit's HID device with its report descriptor (the unit's own, sized
// from its report lengths, when `descriptor` is empty), and its hidraw node served by `unit` (a
// copy). Null, with the reason on stderr, when umockdev cannot set it up.
EmulatedUnit* plugEmulatedUnit(const SimUnit& unit, NodeAccess access = NodeAccess::granted,
                               const hiditems::Bytes& descriptor = {});
void unplugEmulatedUnit(EmulatedUnit* emulated);

// Another maker's HID device beside the unit, on the next hidraw node (kFirstOtherNode first).
// Nothing serves it. False when umockdev cannot add it.
bool plugOtherDevice(EmulatedUnit* emulated, std::uint16_t vendorId, std::uint16_t productId,
                     NodeAccess access);

// The unit's USB cable pulled: its node goes away and the descriptors open on it hang up; the
// testbed stays. Then a unit (`unit`, a copy) plugged in at the same node, which is another node
// for the system: a new device behind the same path.
void unplugUnitNode(EmulatedUnit* emulated);
bool plugUnitNodeAgain(EmulatedUnit* emulated, const SimUnit& unit);

// What the unit holds and received so far (a copy).
SimUnit emulatedUnitState(EmulatedUnit* emulated);

// The user swaps the ESC on the unit's cable now: no USB event, the unit answers on.
void swapEmulatedEsc(EmulatedUnit* emulated, const SimEsc& esc);

// The unit misbehaves as `kind` says (with `code`, as in SimFault) at the `ahead`th report of
// `command` from now on (1: the next one), whatever a running program is sending meanwhile.
void faultAhead(EmulatedUnit* emulated, std::uint8_t command, std::uint32_t ahead,
                SimFaultKind kind, std::uint32_t code = 0);

// The system takes only the first `bytesTaken` bytes of the `occurrence`th report of `command`
// (1 = the first) and says so in the write's count; the unit gets that part.
struct WriteCut {
    std::uint8_t command;
    std::uint32_t occurrence;
    std::uint32_t bytesTaken;
};
void cutWrite(EmulatedUnit* emulated, const WriteCut& cut);

// The answer to the `occurrence`th report of `command` is made when the report arrives but kept
// back, with whatever else the unit sends with it, until releaseHeldAnswer. A program reading
// meanwhile waits as on a slow unit (within its own bound).
void holdAnswer(EmulatedUnit* emulated, std::uint8_t command, std::uint32_t occurrence);
// True once that report arrived and its answer is being held; false after `boundMs` without.
bool waitForHeldAnswer(EmulatedUnit* emulated, std::uint32_t boundMs);
void releaseHeldAnswer(EmulatedUnit* emulated);
// releaseHeldAnswer, and the answer to the `occurrence`th report of `command` held from then on:
// in one step, so that the program cannot send that report before the hold is in place.
void releaseHeldAnswerAndHold(EmulatedUnit* emulated, std::uint8_t command,
                              std::uint32_t occurrence);

struct ProgramRun {
    bool ended;    // false: still running at the bound, then killed
    int exitCode;  // the program's exit status; -1 when a signal ended it
    int signal;    // the signal that ended it; 0 when it exited
    std::string output;
    std::string errors;
};

enum class ProgramInput {
    nothing,   // /dev/null: a program that asks gets no answer and no terminal
    terminal,  // a terminal of its own, which the test types into; closed when it is finished
    terminalForErrorsToo,  // the same, and its errors go to that terminal instead of a pipe
};

struct RunningProgram;

// Starts `command` (program path, then its arguments) with the umockdev preload library, so that
// it sees the testbed instead of the system's devices. A denied node is denied to the program
// even when it runs as root. Null when it cannot be started.
RunningProgram* startInMockEnvironment(EmulatedUnit* emulated,
                                       const std::vector<std::string>& command,
                                       ProgramInput input = ProgramInput::nothing);
// Collects what the program prints until `text` appears in its output or errors; false when it
// did not within `boundMs`, or the program ended without printing it.
bool waitForText(RunningProgram* program, const std::string& text, std::uint32_t boundMs);
// The same until `text` has appeared `times` times in its output and errors together: for a
// line a program prints again and again.
bool waitForTextTimes(RunningProgram* program, const std::string& text, std::size_t times,
                      std::uint32_t boundMs);
// Types `line` and a line end on the program's terminal.
void typeLine(RunningProgram* program, const std::string& line);
void signalProgram(RunningProgram* program, int signal);
// The program's terminal goes away while it runs, as a closed terminal window or a dropped SSH
// connection leaves it (no signal is sent: the test sends the hang-up where it wants one).
void closeTerminal(RunningProgram* program);
// Nobody reads what the program prints any more: its writes meet a broken pipe.
void closeOutput(RunningProgram* program);
// Its process ID, for looking at it in /proc.
int programProcessId(const RunningProgram* program);
// True once `signal` is no longer pending for the program: a program that blocks it and waits
// for it has taken it by then. False when it is still pending after `boundMs`.
bool waitForSignalTaken(RunningProgram* program, int signal, std::uint32_t boundMs);
// Closes its terminal, waits at most `boundMs` for it to end (then kills it), and frees it.
ProgramRun finishProgram(RunningProgram* program, std::uint32_t boundMs);

// startInMockEnvironment with nothing as input, then finishProgram.
ProgramRun runInMockEnvironment(EmulatedUnit* emulated, const std::vector<std::string>& command,
                                std::uint32_t boundMs);
