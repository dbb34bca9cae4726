// zirvano-flash.exe end to end under Wine: the console program run as a child process beside the
// substitute setupapi.dll and hid.dll, its output read through a pipe, against the pipe-served
// unit. What a script would see: the output and the exit code; and what the unit received.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/win/sim_control.h"
#include "tests/shared/exit_codes.h"
#include "tests/wine/unit_server_process.h"

namespace {

constexpr wchar_t kProgramFile[] = L"zirvano-flash.exe";
constexpr wchar_t kImageCopy[] = L"firmware_140.bin";
// A whole update takes about 47 s of fixed pauses; a failing run ends within seconds.
constexpr DWORD kRunBoundMs = 180000;
constexpr DWORD kChunkBytes = 4096;

class UnitServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(startUnitServer()) << "unit_server.exe did not start"; }
    void TearDown() override { stopUnitServer(); }
};

const auto* const unitServer = ::testing::AddGlobalTestEnvironment(new UnitServerEnvironment);

struct ConsoleRun {
    bool finished;
    DWORD exitCode;
    std::string output;  // stdout and stderr, in the order written
};

// Starts the program with `arguments`; stdin is NUL, stdout and stderr one pipe, whose read end
// is returned with the process. False when it did not start.
bool startFlasher(const std::wstring& arguments, HANDLE* process, HANDLE* output) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION info{};
    const std::wstring program = besideThisProgram(kProgramFile);
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &info);
    // Only the child writes now: its exit ends the reads of the output.
    CloseHandle(writeEnd);
    CloseHandle(nothing);
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    CloseHandle(info.hThread);
    *process = info.hProcess;
    *output = readEnd;
    return true;
}

// Reads `output` to its end into `text`, a chunk at a time, each under `lock` when one is given.
void readToTheEnd(HANDLE output, std::string* text, std::mutex* lock) {
    char chunk[kChunkBytes];
    DWORD got = 0;
    while (ReadFile(output, chunk, sizeof chunk, &got, nullptr) && got != 0) {
        if (lock == nullptr) {
            text->append(chunk, got);
            continue;
        }
        const std::lock_guard<std::mutex> held(*lock);
        text->append(chunk, got);
    }
    CloseHandle(output);
}

void awaitEnd(HANDLE process, ConsoleRun* run) {
    run->finished = WaitForSingleObject(process, kRunBoundMs) == WAIT_OBJECT_0;
    if (!run->finished) TerminateProcess(process, 1);
    GetExitCodeProcess(process, &run->exitCode);
    CloseHandle(process);
}

// Runs the program with `arguments` to its end.
ConsoleRun runFlasher(const std::wstring& arguments) {
    ConsoleRun run{false, 0, ""};
    HANDLE process = nullptr;
    HANDLE output = nullptr;
    if (!startFlasher(arguments, &process, &output)) return run;
    readToTheEnd(output, &run.output, nullptr);
    awaitEnd(process, &run);
    return run;
}

bool holds(const std::string& text, const char* fragment) {
    return text.find(fragment) != std::string::npos;
}

class ConsoleFlasher : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(sim("reset"), "ok"); }
};

TEST_F(ConsoleFlasher, WholeUpdateWritesTheCarriedImage) {
    ASSERT_EQ(sim("plug esc1 escver=0302").compare(0, 3, "ok "), 0);
    const ConsoleRun run = runFlasher(L"update --yes");

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(kExitSuccess)) << run.output;
    EXPECT_TRUE(holds(run.output, "programming unit    TAVILINK")) << run.output;
    // Not a console: a line for every tenth.
    EXPECT_TRUE(holds(run.output, "Firmware update in progress, please wait...\n10 %\n20 %\n"))
        << run.output;
    EXPECT_TRUE(holds(run.output, "90 %\n100 %\n")) << run.output;
    EXPECT_TRUE(holds(run.output, "The update of the ESC was successful!\n"));
    EXPECT_TRUE(holds(run.output, "ESC                 3.3\n"));
    EXPECT_EQ(sim("flashcmp esc1 " + simToUtf8(besideThisProgram(kImageCopy))), "equal");
    EXPECT_TRUE(holds(sim("state esc1"), "locked=0 writeProtected=1"));
}

// The command codes the unit "esc1" received, in order.
std::vector<std::string> commandsOfEsc1() {
    std::istringstream lines(sim("commands esc1"));
    std::vector<std::string> codes;
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty()) codes.push_back(line.substr(0, line.find(' ')));
    return codes;
}

// The ESC on the cable is swapped for one with newer firmware as the update asks the unit for it
// again, right before the lock: no USB event tells, and nothing may be locked or written.
TEST_F(ConsoleFlasher, EscSwappedBeforeTheLockIsShownAndNotWritten) {
    // `update` finds and confirms the unit as `status` does; the Identify after those is the
    // update's own.
    ASSERT_EQ(sim("plug esc1").compare(0, 3, "ok "), 0);
    ASSERT_EQ(runFlasher(L"status").exitCode, static_cast<DWORD>(kExitSuccess));
    const std::vector<std::string> found = commandsOfEsc1();
    const auto identifies = std::count(found.begin(), found.end(), "08");
    ASSERT_EQ(sim("plug esc1").compare(0, 3, "ok "), 0);
    ASSERT_EQ(sim("swapesc esc1 08:" + std::to_string(identifies + 1) + " escver=0303"), "ok");

    const ConsoleRun run = runFlasher(L"update --yes");

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(kExitEscChanged)) << run.output;
    EXPECT_TRUE(holds(run.output, "The ESC on the unit is no longer the one confirmed: nothing "
                                  "was locked or written."))
        << run.output;
    EXPECT_TRUE(holds(run.output, "ESC                 3.3\n")) << run.output;
    // Identification alone: Identify, ReadEscMemory, ReadEscBootInfo.
    for (const std::string& code : commandsOfEsc1())
        EXPECT_TRUE(code == "08" || code == "1d" || code == "22") << "the unit received " << code;
}

// The flasher left running while the test acts at the bench; its output read as it comes.
class RunningFlasher {
public:
    explicit RunningFlasher(const std::wstring& arguments) {
        HANDLE output = nullptr;
        if (startFlasher(arguments, &process_, &output))
            reader_ = std::thread(readToTheEnd, output, &output_, &lock_);
    }
    ~RunningFlasher() { finish(); }

    bool says(const char* text) {
        const std::lock_guard<std::mutex> held(lock_);
        return holds(output_, text);
    }
    // False when `text` did not come within `boundMs`.
    bool waitFor(const char* text, DWORD boundMs) {
        for (const DWORD start = GetTickCount(); GetTickCount() - start < boundMs; Sleep(kPollMs))
            if (says(text)) return true;
        return says(text);
    }
    // Ends it as a crash or the task manager would: no clean-up of its own.
    ConsoleRun kill() {
        if (process_ != nullptr) TerminateProcess(process_, kKilledExitCode);
        return finish();
    }
    ConsoleRun finish() {
        ConsoleRun run{false, 0, ""};
        if (process_ == nullptr) return run;
        awaitEnd(process_, &run);
        process_ = nullptr;
        reader_.join();
        run.output = output_;
        return run;
    }

private:
    static constexpr DWORD kPollMs = 50;
    static constexpr UINT kKilledExitCode = 255;
    HANDLE process_ = nullptr;
    std::thread reader_;
    std::mutex lock_;
    std::string output_;
};

std::size_t identifiesOfEsc1() {
    const std::vector<std::string> codes = commandsOfEsc1();
    return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), "08"));
}

// Until the flasher has looked at the unit twice more: the second look saw what is there now.
bool waitForTwoLooks() {
    constexpr DWORD kBoundMs = 20000;
    const std::size_t before = identifiesOfEsc1();
    for (const DWORD start = GetTickCount(); GetTickCount() - start < kBoundMs; Sleep(50))
        if (identifiesOfEsc1() >= before + 2) return true;
    return false;
}

// update --wait: three ESCs put on the cable one after another; the one current is skipped, the
// foreign one refused with nothing but identification, and the wait ends with the one update.
TEST_F(ConsoleFlasher, WaitSkipsTheCurrentRefusesTheForeignAndUpdatesTheReadyEsc) {
    constexpr DWORD kLookBoundMs = 20000;
    ASSERT_EQ(sim("plug esc1 escver=0303").compare(0, 3, "ok "), 0);
    RunningFlasher flasher(L"update --wait --yes");

    EXPECT_TRUE(flasher.waitFor("ESC 1: skipped, it already runs 3.3.", kLookBoundMs));
    ASSERT_EQ(sim("swapesc esc1 now none"), "ok");
    EXPECT_TRUE(waitForTwoLooks());
    const std::size_t foreignFrom = commandsOfEsc1().size();
    ASSERT_EQ(sim("swapesc esc1 now type=0B07403C"), "ok");
    EXPECT_TRUE(flasher.waitFor("ESC 2: refused, type 0B07403C", kLookBoundMs));
    ASSERT_EQ(sim("swapesc esc1 now none"), "ok");
    EXPECT_TRUE(waitForTwoLooks());
    const std::vector<std::string> upToTheReadyEsc = commandsOfEsc1();
    ASSERT_EQ(sim("swapesc esc1 now escver=0302"), "ok");
    const ConsoleRun run = flasher.finish();

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(kExitIncompatible)) << run.output;
    EXPECT_TRUE(holds(run.output, "ESC 3: updated to 3.3.  [1 updated, 1 skipped, 1 refused, 0 "
                                  "failed]\nSeries ended: 1 updated, 1 skipped, 1 refused, 0 "
                                  "failed.\n"))
        << run.output;
    EXPECT_EQ(sim("flashcmp esc1 " + simToUtf8(besideThisProgram(kImageCopy))), "equal");
    ASSERT_LT(foreignFrom, upToTheReadyEsc.size());
    for (std::size_t i = foreignFrom; i < upToTheReadyEsc.size(); ++i)
        EXPECT_TRUE(upToTheReadyEsc[i] == "08" || upToTheReadyEsc[i] == "1d" ||
                    upToTheReadyEsc[i] == "22")
            << "the foreign ESC received " << upToTheReadyEsc[i];
}

// A series holds the unit between its looks: another flasher finds it in use. The hold is the
// process's own: a series ended without any clean-up leaves the unit free.
TEST_F(ConsoleFlasher, SeriesHoldsTheUnitBetweenLooksUntilItsProcessEnds) {
    constexpr DWORD kLookBoundMs = 20000;
    ASSERT_EQ(sim("plug esc1 escver=0303").compare(0, 3, "ok "), 0);
    RunningFlasher series(L"update --wait --repeat --yes");
    EXPECT_TRUE(series.waitFor("ESC 1: skipped, it already runs 3.3.", kLookBoundMs));
    EXPECT_TRUE(waitForTwoLooks());

    const ConsoleRun meanwhile = runFlasher(L"status");
    EXPECT_EQ(meanwhile.exitCode, static_cast<DWORD>(kExitInUse)) << meanwhile.output;
    series.kill();
    const ConsoleRun after = runFlasher(L"status");
    EXPECT_EQ(after.exitCode, static_cast<DWORD>(kExitSuccess)) << after.output;
}

// The record's line names the unit by the serial number the system reports for it, and is
// appended whole.
TEST_F(ConsoleFlasher, RecordLineNamesTheUnitBySerialNumber) {
    ASSERT_EQ(sim("plug esc1 type=0B07403C").compare(0, 3, "ok "), 0);
    const std::wstring record = besideThisProgram(L"console_record.jsonl");
    DeleteFileW(record.c_str());
    const ConsoleRun run = runFlasher(L"update --yes --record \"" + record + L"\"");
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(kExitIncompatible)) << run.output;

    HANDLE file = CreateFileW(record.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char bytes[kChunkBytes] = {};
    DWORD got = 0;
    ReadFile(file, bytes, sizeof bytes - 1, &got, nullptr);
    CloseHandle(file);
    const std::string line(bytes, got);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    EXPECT_TRUE(holds(line, "\"unit\":\"TAVILINK\",\"path\":\"\\\\\\\\.\\\\pipe\\\\"))
        << line;
    EXPECT_TRUE(holds(line, "\"unitSerial\":\"TL0000017\"")) << line;
    EXPECT_TRUE(holds(line, "\"outcome\":\"refused\"")) << line;
    EXPECT_TRUE(holds(line, "\"exitCode\":7,")) << line;
}

struct ConsoleRow {
    const char* name;
    std::vector<std::string> setup;  // control commands
    const wchar_t* arguments;
    int exitCode;
    const char* says;
};

class ConsoleSituation : public ConsoleFlasher, public ::testing::WithParamInterface<ConsoleRow> {};

TEST_P(ConsoleSituation, EndsWithItsCodeAndMessage) {
    const ConsoleRow& row = GetParam();
    for (const std::string& command : row.setup) ASSERT_EQ(sim(command).compare(0, 2, "ok"), 0);
    const ConsoleRun run = runFlasher(row.arguments);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(row.exitCode)) << run.output;
    EXPECT_TRUE(holds(run.output, row.says)) << run.output;
}

void PrintTo(const ConsoleRow& row, std::ostream* out) { *out << row.name; }

INSTANTIATE_TEST_SUITE_P(
    Wine, ConsoleSituation,
    ::testing::Values(
        ConsoleRow{"NoUnit", {}, L"update --yes", kExitNoUnit,
                   "No programming unit was found on the USB Port."},
        ConsoleRow{"EraseRefused",
                   {"plug esc1", "fault esc1 1e 1 error 46"},
                   L"update --yes",
                   kExitEraseFailed,
                   "Error deleting old firmware. New data can't be written. Update cancelled. The "
                   "system shows following errorcode: 0x00000046-0x00000000\n"},
        ConsoleRow{"OtherEscType", {"plug esc1 type=0B07403C"}, L"update --yes",
                   kExitIncompatible, "The connected ESC is not compatible with this updater."},
        ConsoleRow{"NothingAtTheUnitPath",
                   {"plug esc1"},
                   L"status --unit \\\\.\\pipe\\no-unit-here",
                   kExitNoUnit,
                   "No programming unit at \\\\.\\pipe\\no-unit-here."},
        ConsoleRow{"RecordThatCannotBeOpened",
                   {"plug esc1"},
                   L"update --yes --record C:\\no-such-folder\\bench.jsonl",
                   kExitCannotRecord,
                   "The record file C:\\no-such-folder\\bench.jsonl cannot be opened for "
                   "appending (system error 3); nothing was sent."},
        ConsoleRow{"VersionSaysPlaceholder", {}, L"--version", kExitSuccess,
                   "zirvano-flash 3.3 (TESSERAN ZIRVANO 60 LV)\nThis program carries a "
                   "placeholder image, not for flashing.\n"},
        ConsoleRow{"StatusJsonOfAReadyUnit",
                   {"plug esc1"},
                   L"status --json",
                   kExitSuccess,
                   "{\"state\":\"ready\",\"exitCode\":0,"
                   "\"path\":\"\\\\\\\\.\\\\pipe\\\\zirvano-sim-esc1\",\"unit\":\"TAVILINK\","}),
    [](const ::testing::TestParamInfo<ConsoleRow>& info) { return std::string(info.param.name); });

// What Explorer shows under Properties, Details, in the English block.
std::wstring versionValue(const wchar_t* name) {
    const std::wstring program = besideThisProgram(kProgramFile);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(program.c_str(), 0, size, block.data())) return L"";
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT units = 0;
    if (!VerQueryValueW(block.data(), key.c_str(), &value, &units) || units == 0) return L"";
    return static_cast<const wchar_t*>(value);
}

TEST(ConsoleFlasherFile, DetailsNameItAndSayItCarriesThePlaceholder) {
    EXPECT_EQ(versionValue(L"OriginalFilename"), L"zirvano-flash.exe");
    EXPECT_EQ(versionValue(L"FileDescription"),
              L"ZIRVANO 60 LV firmware flasher - placeholder image, not for flashing");
    EXPECT_EQ(versionValue(L"FileVersion"), L"3.3");
}

}  // namespace
