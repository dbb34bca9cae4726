// The Windows device backend against the pipe-served unit, through the substitute setupapi.dll
// and hid.dll beside this program: discovery, identification, report exchange, stray and late
// reports, and a unit that goes silent or vanishes.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "link/commands.h"
#include "link/device_io.h"
#include "link/open_link.h"
#include "link/programmer_link.h"
#include "tests/wine/import_override.h"
#include "tests/wine/unit_server_process.h"

namespace {

class UnitServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_TRUE(startUnitServer()) << "unit_server.exe did not start"; }
    void TearDown() override { stopUnitServer(); }
};

const auto* const unitServer = ::testing::AddGlobalTestEnvironment(new UnitServerEnvironment);

std::string pipePath(const std::string& name) { return "\\\\.\\pipe\\zirvano-sim-" + name; }

std::string linkedPath() {
    if (programmerLink.devicePath == nullptr) return "";
    std::string path;
    for (const char16_t* p = programmerLink.devicePath; *p != 0; ++p)
        path += static_cast<char>(*p);
    return path;
}

// Command codes the unit received, as the server lists them.
std::vector<std::string> commandsSeenBy(const std::string& name) {
    std::istringstream lines(sim("commands " + name));
    std::vector<std::string> codes;
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty()) codes.push_back(line.substr(0, line.find(' ')));
    return codes;
}

// One "key=value" field of the server's state line.
std::string stateOf(const std::string& name, const std::string& key) {
    std::istringstream words(sim("state " + name));
    std::string word;
    while (words >> word)
        if (word.compare(0, key.size() + 1, key + "=") == 0) return word.substr(key.size() + 1);
    return "?";
}

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        closeProgrammer();
        ASSERT_EQ(sim("reset"), "ok");
    }
    void TearDown() override { closeProgrammer(); }

    static void plug(const std::string& nameAndOptions) {
        const std::string reply = sim("plug " + nameAndOptions);
        ASSERT_EQ(reply.compare(0, 3, "ok "), 0) << reply;
    }
};

struct IdentifyCase {
    const char* label;
    const char* options;
    std::uint16_t productId;
    std::uint32_t unitVersion;
    std::uint16_t escVersion;
    std::uint32_t escType;
    std::uint32_t escBootloaderVersion;
};

class IdentifyTest : public BackendTest, public ::testing::WithParamInterface<IdentifyCase> {};

TEST_P(IdentifyTest, ReadyUnitIsIdentifiedAsPlugged) {
    const IdentifyCase& c = GetParam();
    plug(std::string("u ") + c.options);

    ASSERT_EQ(openProgrammer(), kLinkOk);

    EXPECT_EQ(linkedPath(), pipePath("u"));
    EXPECT_EQ(programmerLink.usbProductId, c.productId);
    EXPECT_EQ(programmerLink.outputReportLength, 60u);
    EXPECT_EQ(programmerLink.inputReportLength, 60u);
    EXPECT_EQ(programmerLink.unitInBootloader, 0);
    EXPECT_EQ(programmerLink.escState, kEscStateUpdatable);
    EXPECT_EQ(programmerLink.unitFirmwareVersion, c.unitVersion);
    EXPECT_EQ(escFirmwareVersion(), c.escVersion);
    EXPECT_EQ(escTypeId(), c.escType);
    EXPECT_EQ(escBootloaderVersion(), c.escBootloaderVersion);
    EXPECT_EQ(commandsSeenBy("u"), (std::vector<std::string>{"08", "1d", "22"}));
}

INSTANTIATE_TEST_SUITE_P(
    Units, IdentifyTest,
    ::testing::Values(
        IdentifyCase{"Tavilink", "pid=2", 2, 0x00010200, 0x0302, 0x111F403C, 0x02000105},
        IdentifyCase{"ZelquadWithNewerEsc", "pid=1 unitver=00010305 escver=0303", 1, 0x00010305,
                     0x0303, 0x111F403C, 0x02000105},
        IdentifyCase{"OtherEscType", "type=0A06403C bootver=02000200", 2, 0x00010200, 0x0302,
                     0x0A06403C, 0x02000200}),
    [](const ::testing::TestParamInfo<IdentifyCase>& info) { return info.param.label; });

TEST_F(BackendTest, UnitInItsBootloaderReportsOnlyItsOwnVersion) {
    plug("u mode=boot unitver=00020001");

    ASSERT_EQ(openProgrammer(), kLinkOk);

    EXPECT_NE(programmerLink.unitInBootloader, 0);
    EXPECT_EQ(programmerLink.unitFirmwareVersion, 0x00020001u);
    EXPECT_EQ(programmerLink.escState, 0);
    EXPECT_EQ(escTypeId(), 0u);
    EXPECT_EQ(commandsSeenBy("u"), (std::vector<std::string>{"08", "0a"}));
}

TEST_F(BackendTest, SecondUnitListedIsNeverOpened) {
    plug("first pid=1");
    plug("second pid=2");

    ASSERT_EQ(openProgrammer(), kLinkOk);

    EXPECT_EQ(linkedPath(), pipePath("first"));
    EXPECT_EQ(programmerLink.usbProductId, kProductZelquad);
    EXPECT_EQ(stateOf("second", "opens"), "0");
    EXPECT_EQ(stateOf("second", "reports"), "0");
}

// Devices listed before the unit that the search must pass over without talking to them.
class SkippedDeviceTest : public BackendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SkippedDeviceTest, SearchPassesOverItToTheUnit) {
    plug(std::string("other ") + GetParam());
    plug("unit");

    ASSERT_EQ(openProgrammer(), kLinkOk);

    EXPECT_EQ(linkedPath(), pipePath("unit"));
    EXPECT_EQ(stateOf("other", "reports"), "0");
}

INSTANTIATE_TEST_SUITE_P(Devices, SkippedDeviceTest,
                         ::testing::Values("vid=845E pid=1",  // another vendor
                                           "pid=3",           // right vendor, unknown product
                                           "detail=short",    // size below the detail header
                                           "detail=fail",     // detail read fails
                                           "open=fail"));     // path cannot be opened

// The detail records the search hands to SetupAPI, by size.
namespace detailwatch {

inline decltype(&SetupDiGetDeviceInterfaceDetailW) original;
inline std::vector<DWORD> recordSizes;

inline WINBOOL WINAPI onDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                               PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                               PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    if (detail != nullptr) recordSizes.push_back(detailSize);
    return original(set, data, detail, detailSize, requiredSize, device);
}

}  // namespace detailwatch

// The interface is skipped either way: a record made in the size the query gave is refused by the
// system as well. What must never happen is that record, too small even for the header the
// program writes into it.
TEST_F(BackendTest, DetailSizeBelowTheHeaderIsNeverTakenForARecord) {
    plug("other detail=short");
    plug("unit");
    detailwatch::recordSizes.clear();
    ImportOverride watch("setupapi.dll", "SetupDiGetDeviceInterfaceDetailW",
                         reinterpret_cast<void*>(detailwatch::onDetail));
    ASSERT_NE(watch.slot, nullptr);
    detailwatch::original =
        reinterpret_cast<decltype(&SetupDiGetDeviceInterfaceDetailW)>(watch.original);

    ASSERT_EQ(openProgrammer(), kLinkOk);

    EXPECT_EQ(linkedPath(), pipePath("unit"));
    ASSERT_FALSE(detailwatch::recordSizes.empty());
    for (DWORD size : detailwatch::recordSizes)
        EXPECT_GE(size, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
}

TEST_F(BackendTest, OnlyForeignDevicesMeanNoUnit) {
    plug("mouse vid=845E pid=1");
    plug("other pid=3");

    EXPECT_EQ(openProgrammer(), kLinkNoUnit);

    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(programmerLink.devicePath, nullptr);
}

TEST_F(BackendTest, SearchWithNothingPluggedClosesTheEarlierLink) {
    plug("u");
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(sim("unplug u"), "ok " + pipePath("u"));

    EXPECT_EQ(openProgrammer(), kLinkNoUnit);

    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(programmerLink.devicePath, nullptr);
}

class UnreadableCapsTest : public BackendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnreadableCapsTest, IdentificationFailsWithTheDeviceStillOpen) {
    plug(std::string("u ") + GetParam());

    EXPECT_EQ(openProgrammer(), kLinkNoLink);

    EXPECT_TRUE(linkIsOpen());
    EXPECT_EQ(linkedPath(), pipePath("u"));
    EXPECT_EQ(stateOf("u", "reports"), "0");
}

INSTANTIATE_TEST_SUITE_P(Caps, UnreadableCapsTest,
                         ::testing::Values("caps=fail",     // no preparsed data
                                           "caps=status")); // capabilities status not success

TEST_F(BackendTest, WrittenBlocksLandInTheEscFlash) {
    plug("u");
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(lockUnit(), kLinkOk);
    ASSERT_EQ(removeWriteProtection(), kLinkOk);
    ASSERT_EQ(eraseFirmware(), kLinkOk);
    ASSERT_EQ(setWriteAddress(), kLinkOk);

    std::uint8_t image[68];
    for (std::uint32_t i = 0; i < sizeof image; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 1);
    std::uint32_t wordsSent = 0;
    EXPECT_EQ(writeDataBlock(image, 12, &wordsSent), kLinkOk);
    EXPECT_EQ(wordsSent, 12u);
    EXPECT_EQ(writeDataBlock(image + 48, 5, &wordsSent), kLinkOk);
    restoreWriteProtection();
    releaseUnitLock();

    std::string expected;
    char hex[3];
    for (std::uint8_t byte : image) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        expected += hex;
    }
    EXPECT_EQ(sim("flash u"), expected);
    EXPECT_EQ(stateOf("u", "writeProtected"), "1");
    EXPECT_EQ(stateOf("u", "locked"), "0");
}

// The code line of a refused step shows the system's error; an answered exchange leaves none,
// not the "pending" left behind by the overlapped start.
TEST_F(BackendTest, AnsweredExchangeLeavesNoSystemError) {
    plug("u");
    ASSERT_EQ(sim("fault u 0b 1 refusal"), "ok");
    ASSERT_EQ(openProgrammer(), kLinkOk);

    EXPECT_EQ(lockUnit(), kLinkRefused);
    EXPECT_EQ(lastSystemError(), 0u);
}

// What the unit sent that nobody has read yet, waited for a few seconds at most: a unit that
// repeats itself does so at once, but the pipe carries it a moment later.
bool reportWaitingUnread() {
    for (int poll = 0; poll < 500; ++poll) {
        DWORD available = 0;
        if (!PeekNamedPipe(programmerLink.handle, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available != 0) return true;
        Sleep(10);
    }
    return false;
}

// Each leaves a report behind the lock's answer that would fail the next step if taken for its
// answer: the lock's own answer refuses the unlock in status byte 3, the error report carries
// a code.
struct StrayReportCase {
    const char* name;
    const char* fault;  // on the lock
};
void PrintTo(const StrayReportCase& row, std::ostream* out) { *out << row.name; }

class StrayReportTest : public BackendTest,
                        public ::testing::WithParamInterface<StrayReportCase> {};

TEST_P(StrayReportTest, IsDroppedAndTheNextStepGetsItsOwnAnswer) {
    plug("u");
    ASSERT_EQ(sim(std::string("fault u 0b 1 ") + GetParam().fault), "ok");
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(lockUnit(), kLinkOk);
    ASSERT_TRUE(reportWaitingUnread());

    EXPECT_EQ(removeWriteProtection(), kLinkOk);
    EXPECT_EQ(stateOf("u", "writeProtected"), "0");
}

INSTANTIATE_TEST_SUITE_P(Exchange, StrayReportTest,
                         ::testing::Values(StrayReportCase{"AnswerSentTwice", "twice"},
                                           StrayReportCase{"UnaskedErrorReport", "unasked 77"}),
                         [](const ::testing::TestParamInfo<StrayReportCase>& info) {
                             return info.param.name;
                         });

// Real time: the answer would come 30 s after the request. A healthy unit answers within
// milliseconds, so the read gives up after about ten seconds, well before that.
TEST_F(BackendTest, LateAnswerFailsTheReadAfterAboutTenSeconds) {
    plug("u");
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(sim("fault u 0b 1 late"), "ok");

    const ULONGLONG start = GetTickCount64();
    const LinkResult result = lockUnit();
    const std::uint32_t error = lastSystemError();
    const ULONGLONG waited = GetTickCount64() - start;

    EXPECT_EQ(result, kLinkReadFailed);
    EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_GE(waited, 9000u);
    EXPECT_LT(waited, 20000u);
}

TEST_F(BackendTest, UnitVanishingBeforeItAnswersFailsTheReadAtOnce) {
    plug("u");
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(sim("fault u 0b 1 vanish"), "ok");

    const LinkResult result = lockUnit();
    const std::uint32_t error = lastSystemError();

    EXPECT_EQ(result, kLinkReadFailed);
    // Broken, not timed out: nobody waited for the bound.
    EXPECT_NE(error, static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_EQ(commandsSeenBy("u"), (std::vector<std::string>{"08", "1d", "22", "0b"}));
    closeProgrammer();
    EXPECT_EQ(openProgrammer(), kLinkNoUnit);
}

// The system takes one byte fewer of each report to the unit than it was given.
namespace shortwrite {

inline decltype(&WriteFile) original;
inline HANDLE device;

inline WINBOOL WINAPI writeShort(HANDLE file, LPCVOID data, DWORD length, LPDWORD written,
                                 LPOVERLAPPED overlapped) {
    if (file == device && length > 1) --length;
    return original(file, data, length, written, overlapped);
}

}  // namespace shortwrite

TEST_F(BackendTest, ReportWrittenShortFailsTheWrite) {
    plug("u");
    ASSERT_EQ(openProgrammer(), kLinkOk);
    shortwrite::device = programmerLink.handle;
    ImportOverride writeShort("kernel32.dll", "WriteFile",
                              reinterpret_cast<void*>(shortwrite::writeShort));
    ASSERT_NE(writeShort.slot, nullptr);
    shortwrite::original = reinterpret_cast<decltype(&WriteFile)>(writeShort.original);

    EXPECT_EQ(lockUnit(), kLinkWriteFailed);
}

// Takes the full read bound (kReadTimeoutMs) once.
TEST_F(BackendTest, SilentUnitFailsTheReadAfterTheBoundAndTheHandleStaysUsable) {
    plug("u");
    ASSERT_EQ(sim("fault u 22 1 noanswer"), "ok");

    EXPECT_EQ(openProgrammer(), kLinkReadFailed);
    EXPECT_EQ(lastSystemError(), static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_TRUE(linkIsOpen());

    // The cancelled read took nothing away: the next request gets its own answer.
    Report response;
    ASSERT_EQ(exchangeReports(commandReport(Identify, 0), kReportHeaderSize, response), kLinkOk);
    EXPECT_EQ(response.bytes[0], kResponseReportId);
    EXPECT_EQ(response.bytes[1], Identify);
}

TEST_F(BackendTest, UnitVanishingDuringIdentificationFailsAtOnce) {
    plug("u");
    ASSERT_EQ(sim("fault u 1d 1 disconnect"), "ok");

    const LinkResult result = openProgrammer();

    EXPECT_TRUE(result == kLinkWriteFailed || result == kLinkReadFailed) << result;
    // Broken, not timed out: nobody waited for the bound.
    EXPECT_NE(lastSystemError(), static_cast<std::uint32_t>(ERROR_TIMEOUT));
    closeProgrammer();
    EXPECT_EQ(openProgrammer(), kLinkNoUnit);
}

TEST_F(BackendTest, UnpluggedUnitFailsTheNextTransactionAtOnce) {
    plug("u");
    ASSERT_EQ(openProgrammer(), kLinkOk);
    ASSERT_EQ(sim("unplug u"), "ok " + pipePath("u"));

    const LinkResult result = lockUnit();

    EXPECT_TRUE(result == kLinkWriteFailed || result == kLinkReadFailed) << result;
    EXPECT_NE(lastSystemError(), static_cast<std::uint32_t>(ERROR_TIMEOUT));
}

// ---------------------------------------------------------------------------------------------
// Whole reports, queued reports and the hold on a unit, at the device edge itself.

const char16_t kUnitPipe[] = u"\\\\.\\pipe\\zirvano-sim-u";

// The device edge opened on the unit "u", closed at the end.
class DeviceEdgeTest : public BackendTest {
protected:
    void TearDown() override {
        if (device != kNoDevice) deviceClose(device);
        BackendTest::TearDown();
    }

    // As a program opens a unit: the handle, then what it is.
    void openUnit() {
        device = deviceOpen(kUnitPipe);
        ASSERT_NE(device, kNoDevice) << lastSystemError();
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        ASSERT_TRUE(deviceAttributes(device, &vendorId, &productId));
    }

    bool writeIdentify() {
        const Report request = commandReport(Identify, 0);
        return deviceWrite(device, request.bytes, kReportBufferSize);
    }

    // Waits, a few seconds at most, until `reports` whole reports sit unread on the handle.
    bool reportsWaitingUnread(DWORD reports) {
        for (int poll = 0; poll < 500; ++poll) {
            DWORD available = 0;
            if (!PeekNamedPipe(device, nullptr, 0, nullptr, &available, nullptr)) return false;
            if (available >= reports * kReportBufferSize) return true;
            Sleep(10);
        }
        return false;
    }

    DeviceHandle device = kNoDevice;
};

// The answer to Identify arrives with a length other than the input report's.
struct WrongLengthCase {
    const char* name;
    const char* fault;
};
void PrintTo(const WrongLengthCase& row, std::ostream* out) { *out << row.name; }

class WrongLengthTest : public DeviceEdgeTest,
                        public ::testing::WithParamInterface<WrongLengthCase> {};

TEST_P(WrongLengthTest, IsAFailedReadAndNoReport) {
    plug("u");
    ASSERT_EQ(sim(std::string("fault u 08 1 ") + GetParam().fault), "ok");
    openUnit();
    ASSERT_TRUE(writeIdentify());

    std::uint8_t answer[kReportBufferSize] = {};
    EXPECT_FALSE(deviceRead(device, answer, kReportBufferSize, kReadTimeoutMs));
    EXPECT_NE(lastSystemError(), static_cast<std::uint32_t>(ERROR_TIMEOUT));
}

INSTANTIATE_TEST_SUITE_P(Report, WrongLengthTest,
                         ::testing::Values(WrongLengthCase{"OneByteShort", "cut 59"},
                                           WrongLengthCase{"OneByteLong", "overlong"}),
                         [](const ::testing::TestParamInfo<WrongLengthCase>& info) {
                             return info.param.name;
                         });

// Requests written and not read, and what the unit sent for them.
struct QueuedCase {
    const char* name;
    const char* fault;  // on the first Identify, or none
    int requests;
    std::uint32_t reports;
};
void PrintTo(const QueuedCase& row, std::ostream* out) { *out << row.name; }

class DropTest : public DeviceEdgeTest, public ::testing::WithParamInterface<QueuedCase> {};

TEST_P(DropTest, CountsWhatWasQueuedAndLeavesNothing) {
    const QueuedCase& row = GetParam();
    plug("u");
    if (row.fault != nullptr) {
        ASSERT_EQ(sim(std::string("fault u 08 1 ") + row.fault), "ok");
    }
    openUnit();
    for (int i = 0; i < row.requests; ++i) ASSERT_TRUE(writeIdentify());
    ASSERT_TRUE(reportsWaitingUnread(row.reports));

    std::uint32_t dropped = ~0u;
    ASSERT_TRUE(deviceDropInput(device, &dropped));
    EXPECT_EQ(dropped, row.reports);
    ASSERT_TRUE(deviceDropInput(device, &dropped));
    EXPECT_EQ(dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Queue, DropTest,
                         ::testing::Values(QueuedCase{"Nothing", nullptr, 0, 0},
                                           QueuedCase{"OneAnswer", nullptr, 1, 1},
                                           QueuedCase{"AnswerSentTwice", "twice", 1, 2},
                                           QueuedCase{"AnswerAndUnaskedReport", "unasked 77", 1, 2},
                                           QueuedCase{"ThreeAnswers", nullptr, 3, 3}),
                         [](const ::testing::TestParamInfo<QueuedCase>& info) {
                             return info.param.name;
                         });

// The answer is on its way while the drop looks: the drop's read, given up on at once, either
// takes it (and counts it) or leaves it whole for the read after. None may vanish in between,
// which would leave the read waiting for its bound.
TEST_F(DeviceEdgeTest, AnswerArrivingDuringTheDropIsCountedOrLeftForTheRead) {
    constexpr int kRounds = 500;
    plug("u");
    openUnit();
    int dropped = 0;
    int read = 0;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(writeIdentify()) << "round " << round;
        std::uint32_t droppedNow = 0;
        ASSERT_TRUE(deviceDropInput(device, &droppedNow)) << "round " << round;
        ASSERT_LE(droppedNow, 1u) << "round " << round;
        dropped += static_cast<int>(droppedNow);
        if (droppedNow == 1) continue;
        std::uint8_t answer[kReportBufferSize] = {};
        ASSERT_TRUE(deviceRead(device, answer, kReportBufferSize, kReadTimeoutMs))
            << "round " << round << ": error " << lastSystemError();
        ASSERT_EQ(answer[1], Identify) << "round " << round;
        ++read;
    }
    EXPECT_EQ(dropped + read, kRounds);
    EXPECT_EQ(stateOf("u", "reports"), std::to_string(kRounds));
}

// How another of our programs could name the unit's path.
struct OtherNameCase {
    const char* name;
    const char16_t* path;
};
void PrintTo(const OtherNameCase& row, std::ostream* out) { *out << row.name; }

class HeldUnitTest : public DeviceEdgeTest, public ::testing::WithParamInterface<OtherNameCase> {};

TEST_P(HeldUnitTest, SecondOpenFailsAsHeldElsewhereUntilTheFirstIsClosed) {
    plug("u");
    openUnit();

    const DeviceHandle second = deviceOpen(GetParam().path);
    const std::uint32_t error = lastSystemError();
    if (second != kNoDevice) deviceClose(second);

    EXPECT_EQ(second, kNoDevice);
    EXPECT_TRUE(deviceHeldElsewhere(error)) << error;

    deviceClose(device);
    device = deviceOpen(kUnitPipe);
    EXPECT_NE(device, kNoDevice) << lastSystemError();
}

INSTANTIATE_TEST_SUITE_P(
    Path, HeldUnitTest,
    ::testing::Values(OtherNameCase{"SamePath", kUnitPipe},
                      OtherNameCase{"OtherLetterCase", u"\\\\.\\PIPE\\ZIRVANO-SIM-U"},
                      OtherNameCase{"OtherPrefix", u"\\\\?\\pipe\\zirvano-sim-u"}),
    [](const ::testing::TestParamInfo<OtherNameCase>& info) { return info.param.name; });

TEST_F(DeviceEdgeTest, UnitHeldByAnotherOfOursIsInUseAndHearsNothing) {
    plug("u");
    openUnit();

    EXPECT_EQ(openProgrammer(), kLinkInUse);

    EXPECT_FALSE(linkIsOpen());
    EXPECT_EQ(stateOf("u", "reports"), "0");
}

TEST_F(DeviceEdgeTest, OpeningAnotherUnitIsNotKeptOut) {
    plug("u");
    plug("other");
    openUnit();

    DeviceHandle other = deviceOpen(u"\\\\.\\pipe\\zirvano-sim-other");

    EXPECT_NE(other, kNoDevice) << lastSystemError();
    if (other != kNoDevice) deviceClose(other);
}

}  // namespace
