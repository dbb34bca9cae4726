// In-process HID bus for native tests: implements link/device_io.h over simulated units and a
// virtual clock, so pauses and read time-outs cost no real time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/unit_model.h"

struct SimDevice {
    std::u16string path;
    std::uint16_t vendorId = 0xF0E1;
    std::uint16_t productId = 2;
    bool openable = true;
    bool pathReadable = true;
    SimUnit* unit = nullptr;  // null: a device that is not a programming unit
};

// Empties the bus, resets the clock and the counters; `listAvailable` false makes the device
// list unobtainable.
void simBusReset(bool listAvailable = true);
// Plugs in a device; the bus keeps a pointer to its unit, which the caller owns.
void simBusPlug(const SimDevice& device);
void simBusUnplug(const std::u16string& path);
// Plugs in a programming unit at the given path with the unit's product ID.
void simBusPlugUnit(SimUnit& unit,
                    const std::u16string& path = u"\\\\?\\hid#vid_f0e1&pid_0002#sim");

std::uint64_t simNowMs();
// Every pause the program asked for, in order, whether timed from when it was asked for or
// from an earlier moment.
const std::vector<std::uint32_t>& simPauses();
// The program's own work taking time: the clock moves on, and no pause is recorded.
void simSpendMs(std::uint32_t milliseconds);
// Every unit on the bus answers this long after each request (0, at once, unless set).
void simSetAnswerDelayMs(std::uint32_t milliseconds);
// Reads and writes done through any handle (counted even when they fail).
std::uint32_t simIoCount();
std::uint32_t simOpenHandles();

// Opens the device at `path` as a program that holds nothing would (another tool reading the
// same unit): it gets every input report the unit sends. kNoDevice when it is not plugged.
void* simOpenUnheld(const std::u16string& path);
// Opens the device at `path` as another of our programs would: kNoDevice, busy, while this
// program holds it or keeps its claim.
void* simOpenAsAnotherProgram(const std::u16string& path);
// The path whose claim the program keeps between opens; empty when none.
const std::u16string& simKeptClaim();
// Whether answers are kept back (SimUnit::holds), and releasing them: they arrive now.
bool simAnswersHeld();
void simReleaseHeld();
// Input reports queued on an open handle and not read.
std::size_t simQueuedReports(void* handle);
