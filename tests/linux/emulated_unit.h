// A programming unit behind an emulated hidraw node: a umockdev testbed whose node the simulated
// unit serves, and programs run against it in the mock environment as they would run against
// the real device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/unit_model.h"

struct EmulatedUnit;

enum class NodeAccess {
    granted,
    denied,  // the node's permissions refuse the program, as without the udev rule
};

// Starts this program again with the umockdev preload library unless it already runs with it:
// the testbed itself needs it, to see its own sysfs. Call first thing in main().
void runUnderMockPreload(char** argv);

// Sets up the testbed: the unit's HID device with its report descriptor, and its hidraw node
// served by `unit` (a copy). Null, with the reason on stderr, when umockdev cannot set it up.
EmulatedUnit* plugEmulatedUnit(const SimUnit& unit, NodeAccess access = NodeAccess::granted);
void unplugEmulatedUnit(EmulatedUnit* emulated);

// What the unit holds and received so far (a copy).
SimUnit emulatedUnitState(EmulatedUnit* emulated);

struct ProgramRun {
    bool ended;    // false: still running at the bound, then killed
    int exitCode;  // the program's exit status; -1 when a signal ended it
    std::string output;
    std::string errors;
};

// Runs `command` (program path, then its arguments) with the umockdev preload library, so
// that it sees the testbed instead of the system's devices; waits at most `boundMs`. A denied
// node is denied to the program even when it runs as root.
ProgramRun runInMockEnvironment(EmulatedUnit* emulated, const std::vector<std::string>& command,
                                std::uint32_t boundMs);
