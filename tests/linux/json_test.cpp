// zirvano-flash --json, unmodified, on an emulated hidraw node in the states a script meets: each
// output is written to a file and checked by validate_json.py against the schema the
// documentation ships (docs/zirvano-flash.schema.json), in English and in German, where every
// field but the hint must read the same.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "link/programmer_link.h"
#include "tests/linux/emulated_unit.h"
#include "tests/shared/exit_codes.h"

namespace {

// The exit codes as --help documents them.
constexpr int kAccepted = 0;  // validate_json.py
constexpr int kRefused = 1;

// Only identification is sent: a run still going after this has hung.
constexpr std::uint32_t kRunBoundMs = 30000;
constexpr std::uint16_t kInstalledEscFirmware = 0x0302;
constexpr std::uint32_t kOtherEscType = 0x0B07403C;
// The unit maker's vendor ID on a product that is no programming unit.
constexpr std::uint16_t kNoUnitProduct = 0x0077;
constexpr const char* kSecondNode = kFirstOtherNode;

enum class Bench {
    ready,
    escWithoutFirmware,
    noUpdatableEsc,
    incompatibleEsc,
    wrongMode,
    nodeDenied,     // the unit's node refuses this user, as without the udev rule
    noUnit,         // the maker's device that is no programming unit, and nothing else
    heldElsewhere,  // another program of ours holds the one unit
    besideDenied,   // a second unit whose node refuses this user
    tooNarrow,      // the unit's reports cannot carry an update: it stays unidentified
};

// Reports of 8 bytes with their ID, far too short for a block.
constexpr std::uint32_t kNarrowReportBytes = 7;

struct UnitRow {
    std::string path;  // "null" for none
    std::string state;
};

struct JsonCase {
    const char* name;
    Bench bench;
    std::vector<std::string> arguments;
    int exitCode;
    std::vector<UnitRow> units;         // status: the one object; list: each unit, in path order
    std::vector<std::string> mentions;  // machine fields exactly as printed
};

void PrintTo(const JsonCase& row, std::ostream* out) { *out << row.name; }

const std::vector<std::string> kStatus = {"status", "--json"};
const std::vector<std::string> kList = {"list", "--json"};

std::vector<JsonCase> jsonCases() {
    return {
        {"ReadyStatus",
         Bench::ready,
         kStatus,
         kExitSuccess,
         {{kUnitNode, "ready"}},
         {"\"unitVersion\":\"1.2\"", "\"escVersion\":\"3.2\"", "\"escType\":\"111F403C\""}},
        {"EscWithoutFirmwareHasNullForItsVersion",
         Bench::escWithoutFirmware,
         kStatus,
         kExitSuccess,
         {{kUnitNode, "ready"}},
         {"\"escVersion\":null"}},
        {"NoUpdatableEscStatus",
         Bench::noUpdatableEsc,
         kStatus,
         kExitNotReady,
         {{kUnitNode, "no-updatable-esc"}},
         {"\"escVersion\":null"}},
        {"IncompatibleEscStatus",
         Bench::incompatibleEsc,
         kStatus,
         kExitIncompatible,
         {{kUnitNode, "incompatible-esc"}},
         {"\"escType\":\"0B07403C\""}},
        {"WrongModeStatus", Bench::wrongMode, kStatus, kExitNotReady, {{kUnitNode, "wrong-mode"}}},
        {"CannotOpenStatusHasTheSystemError",
         Bench::nodeDenied,
         kStatus,
         kExitCannotOpen,
         {{kUnitNode, "cannot-open"}},
         {"\"systemError\":13"}},  // EACCES
        {"UnidentifiedStatusNamesTheUnitButNoVersion",
         Bench::tooNarrow,
         kStatus,
         kExitNotReady,
         {{kUnitNode, "unidentified"}},
         {"\"unit\":\"TAVILINK\",\"unitVersion\":null"}},
        {"NoUnitStatus", Bench::noUnit, kStatus, kExitNoUnit, {{"null", "no-unit"}}},
        {"InUseStatus", Bench::heldElsewhere, kStatus, kExitInUse, {{kUnitNode, "in-use"}}},
        {"SeveralUnitsStatusNamesTheCandidates",
         Bench::besideDenied,
         kStatus,
         kExitSeveralUnits,
         {{"null", "several-units"}},
         {"\"candidates\":[\"/dev/hidraw"}},
        {"ListOfNoUnitIsEmpty", Bench::noUnit, kList, kExitNoUnit, {}, {"[]"}},
        {"ListOfOneUnit", Bench::ready, kList, kExitSuccess, {{kUnitNode, "ready"}}},
        {"ListOfTwoUnitsOneThatCannotBeOpened",
         Bench::besideDenied,
         kList,
         kExitSuccess,
         {{kUnitNode, "ready"}, {kSecondNode, "cannot-open"}}},
        {"ListOfAnUnidentifiedUnit",
         Bench::tooNarrow,
         kList,
         kExitSuccess,
         {{kUnitNode, "unidentified"}}},
        {"ListOfAUnitInUse", Bench::heldElsewhere, kList, kExitSuccess, {{kUnitNode, "in-use"}}},
    };
}

SimUnit unitFor(Bench bench) {
    SimUnit unit = simReadyUnit(kInstalledEscFirmware);
    switch (bench) {
        case Bench::escWithoutFirmware: simSetEscFirmwareVersion(unit, kNoEscFirmware); break;
        case Bench::noUpdatableEsc: simConnectEsc(unit, simNoEsc()); break;
        case Bench::incompatibleEsc:
            simSetEscType(unit, kOtherEscType, kSimEscBootloaderVersion);
            break;
        case Bench::wrongMode: unit.inBootloader = true; break;
        case Bench::noUnit: unit.productId = kNoUnitProduct; break;
        default: break;
    }
    return unit;
}

// The whole command: the flasher under one language, whatever the test's own locale is.
std::vector<std::string> flasherIn(const char* lang, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {"/usr/bin/env", "-u", "LC_ALL", "-u", "LC_MESSAGES"};
    command.push_back(std::string("LANG=") + lang);
    command.push_back(ZIRVANO_FLASH);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

std::string writtenOut(const std::string& name, const std::string& text) {
    mkdir(JSON_OUTPUTS, 0755);
    const std::string file = std::string(JSON_OUTPUTS) + "/" + name + ".json";
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

struct Verdict {
    int status;  // validate_json.py's exit status; -1 when it did not run
    std::string said;
};

// The checker runs without the umockdev preload: it reads plain files.
Verdict validated(const std::string& file, const std::string& definition) {
    const std::string checker =
        "/usr/bin/env -u LD_PRELOAD /usr/bin/python3 '" VALIDATE_JSON "' '" JSON_SCHEMA "'";
    const std::string command = checker + " '" + file + "' " + definition + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {-1, "cannot start " + command};
    Verdict verdict{-1, ""};
    char chunk[512];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) != 0;)
        verdict.said.append(chunk, got);
    const int status = pclose(pipe);
    if (WIFEXITED(status)) verdict.status = WEXITSTATUS(status);
    return verdict;
}

// Each value of `field`, in order: a string without its quotes (the tests' values hold no
// escapes), anything else as written.
std::vector<std::string> valuesOf(const std::string& json, const std::string& field) {
    std::vector<std::string> values;
    const std::string key = "\"" + field + "\":";
    for (std::size_t at = json.find(key); at != std::string::npos; at = json.find(key, at + 1)) {
        std::size_t start = at + key.size();
        if (json[start] == '"') {
            const std::size_t end = json.find('"', start + 1);
            values.push_back(json.substr(start + 1, end - start - 1));
        } else {
            values.push_back(json.substr(start, json.find_first_of(",}]", start) - start));
        }
    }
    return values;
}

// The output with every hint emptied: what must not depend on the language.
std::string withoutHints(const std::string& json) {
    const std::string key = "\"hint\":\"";
    std::string rest = json;
    std::string kept;
    for (std::size_t at = rest.find(key); at != std::string::npos; at = rest.find(key)) {
        std::size_t end = at + key.size();
        while (end < rest.size() && rest[end] != '"') end += rest[end] == '\\' ? 2 : 1;
        kept += rest.substr(0, at + key.size());
        rest = rest.substr(end);
    }
    return kept + rest;
}

// The paths `list` shows, in its order: each line starts with one.
std::vector<std::string> listedPaths(const std::string& listed) {
    std::vector<std::string> paths;
    std::istringstream lines(listed);
    for (std::string line; std::getline(lines, line);)
        paths.push_back(line.substr(0, line.find(' ')));
    return paths;
}

std::string stateAt(const JsonCase& row, const std::string& path) {
    for (const UnitRow& unit : row.units)
        if (unit.path == path) return unit.state;
    return "";
}

class OnTheBench : public ::testing::Test {
protected:
    void TearDown() override {
        if (holder != nullptr) finishProgram(holder, kRunBoundMs);
        unplugEmulatedUnit(emulated);
    }

    // True once the bench is set up.
    bool setUp(Bench bench) {
        const hiditems::Bytes descriptor =
            bench == Bench::tooNarrow
                ? hiditems::unitReportDescriptor(kNarrowReportBytes, kNarrowReportBytes)
                : hiditems::Bytes{};
        emulated = plugEmulatedUnit(
            unitFor(bench), bench == Bench::nodeDenied ? NodeAccess::denied : NodeAccess::granted,
            descriptor);
        if (emulated == nullptr) return false;
        switch (bench) {
            case Bench::besideDenied:
                return plugOtherDevice(emulated, kUnitVendorId, kProductZelquad,
                                       NodeAccess::denied);
            case Bench::heldElsewhere:
                holder = startInMockEnvironment(emulated, {HIDRAW_LINK_PROBE, "hold"},
                                                ProgramInput::terminal);
                return holder != nullptr && waitForText(holder, "holding", kRunBoundMs);
            default: return true;
        }
    }

    ProgramRun run(const char* lang, const std::vector<std::string>& arguments) {
        return runInMockEnvironment(emulated, flasherIn(lang, arguments), kRunBoundMs);
    }

    EmulatedUnit* emulated = nullptr;
    RunningProgram* holder = nullptr;
};

class JsonOutput : public OnTheBench, public ::testing::WithParamInterface<JsonCase> {};

TEST_P(JsonOutput, FollowsTheSchemaInEveryLanguageWithTheSameMachineFields) {
    const JsonCase& row = GetParam();
    ASSERT_TRUE(setUp(row.bench));
    const std::string definition = row.arguments.front();  // status or list
    const ProgramRun english = run("C.UTF-8", row.arguments);
    const ProgramRun german = run("de_DE.UTF-8", row.arguments);

    for (const ProgramRun* each : {&english, &german}) {
        const bool isGerman = each == &german;
        SCOPED_TRACE(isGerman ? "German" : "English");
        ASSERT_TRUE(each->ended);
        EXPECT_EQ(each->exitCode, row.exitCode) << each->output << each->errors;
        const std::string file =
            writtenOut(std::string(row.name) + (isGerman ? ".de" : ".en"), each->output);
        const Verdict verdict = validated(file, definition);
        EXPECT_EQ(verdict.status, kAccepted) << verdict.said << each->output;
    }

    // The system decides the units' order and `list` keeps it: each state goes with its path.
    const std::vector<std::string> shown = valuesOf(english.output, "path");
    if (definition == "list") {
        EXPECT_EQ(shown, listedPaths(run("C.UTF-8", {"list"}).output)) << english.output;
    }
    std::vector<std::string> states;
    for (const std::string& path : shown) states.push_back(stateAt(row, path));
    EXPECT_EQ(valuesOf(english.output, "state"), states) << english.output;
    std::vector<std::string> paths;
    for (const UnitRow& unit : row.units) paths.push_back(unit.path);
    std::vector<std::string> sorted = shown;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, paths) << english.output;
    for (const std::string& field : row.mentions)
        EXPECT_NE(english.output.find(field), std::string::npos) << field << "\n" << english.output;

    EXPECT_EQ(withoutHints(german.output), withoutHints(english.output));
    if (!row.units.empty()) {
        EXPECT_NE(valuesOf(german.output, "hint"), valuesOf(english.output, "hint"))
            << "the hint follows the language\n"
            << german.output;
    }
}

INSTANTIATE_TEST_SUITE_P(Flasher, JsonOutput, ::testing::ValuesIn(jsonCases()),
                         [](const ::testing::TestParamInfo<JsonCase>& info) {
                             return std::string(info.param.name);
                         });

// The checker itself: what the window shows instead of a value, a field left out, a state in
// the user's language and the like are refused, so that an output it accepts can be trusted.
struct Seeded {
    const char* name;
    const char* from;
    const char* to;
};

const Seeded kSeededFaults[] = {
    {"EscVersionAsTheWindowShowsNoFirmware", "\"escVersion\":\"3.2\"",
     "\"escVersion\":\"----------\""},
    {"FieldLeftOut", "\"candidates\":null,", ""},
    {"StateInGerman", "\"state\":\"ready\"", "\"state\":\"bereit\""},
    {"KnownVersionAsNull", "\"unitVersion\":\"1.2\"", "\"unitVersion\":null"},
    {"ExitCodeOfAnotherState", "\"exitCode\":0", "\"exitCode\":6"},
    {"AnotherSchemaVersion", "\"schemaVersion\":1", "\"schemaVersion\":2"},
    {"NumberAsText", "\"systemError\":null", "\"systemError\":\"0\""},
    {"KeyTwice", "\"schemaVersion\":1,", "\"schemaVersion\":1,\"schemaVersion\":1,"},
    {"TextAfterTheObject", "}\n", "}\ndone\n"},
};

class JsonChecker : public OnTheBench {};

TEST_F(JsonChecker, RefusesWhatAScriptCouldNotTrust) {
    ASSERT_TRUE(setUp(Bench::ready));
    const std::string real = run("C.UTF-8", kStatus).output;
    ASSERT_EQ(validated(writtenOut("Seeded.Real", real), "status").status, kAccepted) << real;
    for (const Seeded& fault : kSeededFaults) {
        std::string seeded = real;
        const std::size_t at = seeded.find(fault.from);
        ASSERT_NE(at, std::string::npos) << fault.name << ": " << real;
        seeded.replace(at, std::string(fault.from).size(), fault.to);
        const Verdict verdict =
            validated(writtenOut(std::string("Seeded.") + fault.name, seeded), "status");
        EXPECT_EQ(verdict.status, kRefused) << fault.name << ": " << verdict.said;
    }
}

}  // namespace
