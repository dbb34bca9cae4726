// zirvano-flash update --wait --repeat --yes, unmodified, through a long series at the bench on
// an emulated hidraw node: ESCs put on the unit's cable and taken off again one after another
// (no USB event), most of them current, every 5th of another type, every 7th seen only after a
// look whose identification fails, and every 12th one to update, half of those updates failing
// at a step. The flasher's process is counted between two looks after a warm-up and again at
// the end; what an ESC leaves behind piles up. Ctrl-C then ends the series with its summary.
//
// Each ESC takes two of the flasher's looks (it arrives, it leaves), half a second apart, and
// each update its fixed pauses: the build carries a small image (scripts/soak.sh), so that an
// update takes about 5.5 s instead of 46 s.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

#include "link/commands.h"
#include "tests/linux/emulated_unit.h"
#include "tests/shared/exit_codes.h"

namespace {

// Each ESC takes two looks, a second; 120 of them and 10 updates take about three minutes.
constexpr unsigned kEscs = 120;       // in the whole series, the warm-up's included
constexpr unsigned kWarmUpEscs = 10;  // the first update among them
constexpr unsigned kUpdateEvery = 12;
constexpr unsigned kUpdateAt = 10;

constexpr std::uint16_t kCurrentFirmware = 0x0303;  // the version the flasher carries
constexpr std::uint16_t kOldFirmware = 0x0302;
constexpr std::uint32_t kForeignType = 0x0B07403C;

// Bounds for a program that hangs; nothing is asserted on time. A look comes every 500 ms, an
// update of the small image takes its 5.1 s of fixed pauses and a few blocks.
constexpr std::uint32_t kLookBoundMs = 20000;
constexpr std::uint32_t kUpdateBoundMs = 60000;

// The waiting line, written once each time the flasher finds the ESC it handled gone (and once
// at the start, with none there), and the one of a look whose identification failed.
constexpr char kEscGoneLine[] =
    "Waiting for an ESC to update (Ctrl-C ends). Unit: no updatable ESC\n";
constexpr char kFailedLookLine[] =
    "Waiting for an ESC to update (Ctrl-C ends). Unit: not identified: identification failed";

// The flasher is counted at the fewest descriptors it holds while sampled this long after a
// look: it pauses half a second between two looks with no node open.
constexpr std::chrono::milliseconds kSampling{300};
constexpr std::chrono::milliseconds kSampleEvery{10};

// What the ESC on the cable is, by its number in the series: updates by the rule above, then
// the other rules in this order.
enum class Esc { current, foreign, seenAfterFailedLook, toUpdate };

struct EscRule {
    unsigned every;
    Esc esc;
};

const EscRule kEscRules[] = {
    {5, Esc::foreign},
    {7, Esc::seenAfterFailedLook},
};

// The updates in turn: each failing step is followed by a success, so that every failure is
// shown to leave a unit that the next update gets through.
struct UpdateCase {
    const char* name;
    std::uint8_t command;  // the request that fails; 0: none does
    std::uint32_t ahead;   // its how-manieth from now
    SimFaultKind kind;
    std::uint32_t code;
    int exitCode;
    bool erases;  // the ESC's flash was erased before the failure
};

const UpdateCase kUpdateCases[] = {
    {"success", 0, 0, SimFaultKind::errorAnswer, 0, kExitSuccess, true},
    {"lock refused", SystemLock, 1, SimFaultKind::refusal, 0, kExitLockFailed, false},
    {"success", 0, 0, SimFaultKind::errorAnswer, 0, kExitSuccess, true},
    {"erase answered with an error", EraseFirmware, 1, SimFaultKind::errorAnswer, 5,
     kExitEraseFailed, true},
    {"success", 0, 0, SimFaultKind::errorAnswer, 0, kExitSuccess, true},
    {"5th block answered with an error", WriteDataBlock, 5, SimFaultKind::errorAnswer, 0x2A,
     kExitBlockFailed, true},
    {"success", 0, 0, SimFaultKind::errorAnswer, 0, kExitSuccess, true},
    {"write address answered with an error", SetWriteAddress, 1, SimFaultKind::errorAnswer, 7,
     kExitAddressFailed, true},
    {"success", 0, 0, SimFaultKind::errorAnswer, 0, kExitSuccess, true},
    {"3rd block's answer cut short", WriteDataBlock, 3, SimFaultKind::cutShort, 30,
     kExitBlockFailed, true},
};

Esc escNumbered(unsigned number) {
    if (number % kUpdateEvery == kUpdateAt) return Esc::toUpdate;
    for (const EscRule& rule : kEscRules)
        if (number % rule.every == 0) return rule.esc;
    return Esc::current;
}

// ---- the flasher's process, read with plain system calls: this test runs under the preload
// library, which may take /proc paths for the testbed's

std::string procFile(const std::string& path) {
    const int file =
        static_cast<int>(syscall(SYS_openat, AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file < 0) return "";
    std::string text;
    char chunk[4096];
    ssize_t got = 0;
    while ((got = read(file, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(got));
    close(file);
    return text;
}

long long statusKiB(const std::string& status, const char* field) {
    const std::size_t at = status.find(std::string("\n") + field + ":");
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + std::strlen(field) + 2);
}

long long openDescriptors(int pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    const int directory = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory < 0) return -1;
    long long count = 0;
    alignas(8) char entries[4096];
    long got = 0;
    while ((got = syscall(SYS_getdents64, directory, entries, sizeof entries)) > 0) {
        for (long at = 0; at < got;) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name
            unsigned short length = 0;
            std::memcpy(&length, entries + at + 16, sizeof length);
            if (entries[at + 19] != '.') ++count;
            at += length;
        }
    }
    close(directory);
    return count;
}

struct Counts {
    long long descriptors = -1;
    long long residentKiB = -1;
    long long virtualKiB = -1;
};

struct CountRow {
    const char* name;
    long long Counts::*field;
    long long margin;
    const char* unit;
};

// Between two looks the flasher holds the same descriptors every time; its heap may keep a
// few pages more after a long run, but no leak of a descriptor, a mapping or a thread per ESC
// stays within these after 110 ESCs.
const CountRow kCountRows[] = {
    {"open descriptors", &Counts::descriptors, 0, ""},
    {"VmRSS", &Counts::residentKiB, 1024, " KiB"},
    {"VmSize", &Counts::virtualKiB, 1024, " KiB"},
};

// The flasher's counts while it pauses between two looks, holding no node open: called right
// after a look, it takes the sample with the fewest descriptors.
Counts countsBetweenLooks(int pid) {
    Counts fewest;
    const auto end = std::chrono::steady_clock::now() + kSampling;
    while (std::chrono::steady_clock::now() < end) {
        Counts counts;
        const std::string status = procFile("/proc/" + std::to_string(pid) + "/status");
        counts.descriptors = openDescriptors(pid);
        counts.residentKiB = statusKiB(status, "VmRSS");
        counts.virtualKiB = statusKiB(status, "VmSize");
        if (fewest.descriptors < 0 || counts.descriptors < fewest.descriptors) fewest = counts;
        std::this_thread::sleep_for(kSampleEvery);
    }
    return fewest;
}

std::size_t occurrences(const std::string& in, const std::string& text) {
    std::size_t found = 0;
    for (std::size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + 1))
        ++found;
    return found;
}

struct Tally {
    unsigned updated = 0;
    unsigned skipped = 0;
    unsigned refused = 0;
    unsigned failed = 0;
    int failureCode = kExitSuccess;
};

std::string tallyText(const Tally& tally) {
    char text[128];
    std::snprintf(text, sizeof text, "[%u updated, %u skipped, %u refused, %u failed]",
                  tally.updated, tally.skipped, tally.refused, tally.failed);
    return text;
}

struct Bench {
    EmulatedUnit* emulated;
    RunningProgram* flasher;
    Tally tally;
    unsigned updates = 0;
    unsigned erases = 0;
    unsigned failedLooks = 0;
};

// ESC `number` put on the cable, its result line with the running tally, and the ESC taken off
// again until the flasher has found it gone (the ESCs before it are gone, and none was there at
// the start).
void oneEsc(Bench& bench, unsigned number) {
    const Esc esc = escNumbered(number);
    std::string said = "ESC " + std::to_string(number) + ": ";
    std::uint32_t boundMs = kLookBoundMs;
    Tally& tally = bench.tally;
    switch (esc) {
        case Esc::current:
        case Esc::seenAfterFailedLook:
            swapEmulatedEsc(bench.emulated, simReadyEsc(kCurrentFirmware));
            // A look asks for the ESC twice (surveying, then at the unit it found); the look that
            // fails proves nothing about the ESC, and the next one finds it.
            if (esc == Esc::seenAfterFailedLook) {
                faultAhead(bench.emulated, ReadEscMemory, 1, SimFaultKind::errorAnswer, 5);
                faultAhead(bench.emulated, ReadEscMemory, 2, SimFaultKind::errorAnswer, 5);
                ++bench.failedLooks;
            }
            ++tally.skipped;
            said += "skipped, it already runs 3.3.";
            break;
        case Esc::foreign:
            swapEmulatedEsc(bench.emulated, simReadyEsc(kOldFirmware, kForeignType));
            ++tally.refused;
            said += "refused, type 0B07403C is no ZIRVANO 60 LV; nothing was written.";
            break;
        case Esc::toUpdate: {
            const UpdateCase& update = kUpdateCases[bench.updates++ % std::size(kUpdateCases)];
            swapEmulatedEsc(bench.emulated, simReadyEsc(kOldFirmware));
            if (update.command != 0)
                faultAhead(bench.emulated, update.command, update.ahead, update.kind, update.code);
            if (update.erases) ++bench.erases;
            if (update.exitCode == kExitSuccess) {
                ++tally.updated;
                said += "updated to 3.3.";
            } else {
                ++tally.failed;
                if (tally.failureCode == kExitSuccess) tally.failureCode = update.exitCode;
                said += "failed, exit code " + std::to_string(update.exitCode) + ".";
            }
            boundMs = kUpdateBoundMs;
            break;
        }
    }
    said += "  " + tallyText(tally);
    ASSERT_TRUE(waitForText(bench.flasher, said, boundMs)) << "no \"" << said << "\"";
    swapEmulatedEsc(bench.emulated, simNoEsc());
    ASSERT_TRUE(waitForTextTimes(bench.flasher, kEscGoneLine, number + 1, kLookBoundMs))
        << "ESC " << number << " was not found gone";
}

TEST(SeriesSoak, ALongSeriesLeavesTheFlasherAsItWas) {
    SimUnit unit = simReadyUnit(kCurrentFirmware);
    simConnectEsc(unit, simNoEsc());
    EmulatedUnit* emulated = plugEmulatedUnit(unit);
    ASSERT_NE(emulated, nullptr);
    RunningProgram* flasher =
        startInMockEnvironment(emulated, {ZIRVANO_FLASH, "update", "--wait", "--repeat", "--yes"});
    ASSERT_NE(flasher, nullptr);
    const int pid = programProcessId(flasher);
    Bench bench{emulated, flasher, {}, 0, 0, 0};
    ASSERT_TRUE(waitForTextTimes(flasher, kEscGoneLine, 1, kLookBoundMs));

    const auto start = std::chrono::steady_clock::now();
    unsigned number = 1;  // of the ESC on the cable; past the last once all went through
    auto escsUpTo = [&](unsigned last) {
        while (number <= last && !HasFatalFailure()) {
            oneEsc(bench, number);
            if (!HasFatalFailure()) ++number;
        }
    };
    escsUpTo(kWarmUpEscs);
    const Counts before = countsBetweenLooks(pid);
    escsUpTo(kEscs);
    const Counts after = countsBetweenLooks(pid);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    signalProgram(flasher, SIGINT);
    const ProgramRun run = finishProgram(flasher, kLookBoundMs);
    const SimUnit seen = emulatedUnitState(emulated);
    unplugEmulatedUnit(emulated);
    std::printf(
        "series: %u ESCs (%u updated, %u skipped, %u refused, %u failed) in %.1f s, "
        "%u identification requests\n",
        number - 1, bench.tally.updated, bench.tally.skipped, bench.tally.refused,
        bench.tally.failed, seconds, seen.commandCounts[Identify]);
    ASSERT_FALSE(HasFatalFailure()) << "at ESC " << number << "; it printed:\n" << run.output;

    const Tally& tally = bench.tally;
    char summary[160];
    std::snprintf(summary, sizeof summary,
                  "Series ended: %u updated, %u skipped, %u refused, %u failed.\n", tally.updated,
                  tally.skipped, tally.refused, tally.failed);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exitCode, tally.failureCode) << run.errors;
    const std::size_t last = run.output.rfind("Series ended");
    ASSERT_NE(last, std::string::npos) << run.output;
    EXPECT_EQ(run.output.substr(last), summary);
    EXPECT_EQ(seen.commandCounts[EraseFirmware], bench.erases);
    EXPECT_GE(occurrences(run.errors, kFailedLookLine), bench.failedLooks);

    std::string line;
    bool within = true;
    for (const CountRow& row : kCountRows) {
        const long long was = before.*(row.field);
        const long long is = after.*(row.field);
        EXPECT_GE(was, 0) << row.name << " unreadable";
        EXPECT_LE(is - was, row.margin) << row.name << " grew from " << was << " to " << is;
        within = within && was >= 0 && is - was <= row.margin;
        line += std::string(line.empty() ? "" : ", ") + row.name + " " + std::to_string(was) +
                row.unit + " -> " + std::to_string(is) + row.unit + " (margin +" +
                std::to_string(row.margin) + row.unit + ")";
    }
    std::printf("soak: flasher: %s: %s\n", line.c_str(), within ? "ok" : "FAILED");
}

}  // namespace
