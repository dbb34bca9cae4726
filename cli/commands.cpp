// The command line's dispatch, the help and version texts, and the two commands that only look:
// list and status.
#include "cli/commands.h"

#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/unit_finding.h"
#include "cli/unit_report.h"
#include "link/product_identity.h"

namespace {

constexpr char kExitRowFormat[] = "  %2d  %s\n";
// The help is longer than a line may be (kLineBytes), the German one most: cut to a line, it
// would lose its end.
constexpr std::size_t kHelpBytes = 8192;

void putHelp(const CliSetting& setting) {
    const TextSink& out = setting.console.out;
    char typeName[kVersionTextChars];
    supportedTypeName(typeName);
    char help[kHelpBytes];
    std::snprintf(help, sizeof help, text(Text::help, setting.language), kCarriedFirmwareMajor,
                  kCarriedFirmwareMinor, typeName);
    put(out, help);
    for (int code : kExitCodes)
        putFormat(out, kExitRowFormat, code, exitCodeMeaning(code, setting.language));
}

void putVersion(const CliSetting& setting) {
    const TextSink& out = setting.console.out;
    char typeName[kVersionTextChars];
    supportedTypeName(typeName);
    putFormat(out, text(Text::version, setting.language), kCarriedFirmwareMajor,
              kCarriedFirmwareMinor, typeName);
    put(out, "\n");
    if (setting.image.placeholder) putLine(out, text(Text::placeholder, setting.language));
}

void putUsageError(const ArgumentError& error, const CliSetting& setting) {
    char problem[kLineBytes];
    std::snprintf(problem, sizeof problem, text(error.problem, setting.language), error.subject,
                  error.command);
    putFormat(setting.console.err, text(Text::usageError, setting.language), problem);
    put(setting.console.err, "\n");
}

}  // namespace

// list and status only look: a stop request ends them at once.
int runList(const Arguments& arguments, const CliSetting& setting) {
    setting.system.stopAtOnce(true);
    const UnitSurvey survey = surveyUnits(setting.system);
    // A script gets its array even when it is empty; the exit code and stderr say why.
    if (arguments.json) putListJson(setting.console.out, survey, setting);
    if (survey.units.empty()) {
        Finding none{};
        none.state = UnitState::noUnit;
        none.survey = survey;
        putExplanation(setting.console.err, none, setting);
        return kExitNoUnit;
    }
    bool permissionDenied = false;
    for (const UnitSighting& unit : survey.units) {
        if (!arguments.json) putListLine(setting.console.out, unit, setting.language);
        permissionDenied = permissionDenied || unit.permissionDenied;
    }
    if (permissionDenied) putPermissionHint(setting.console.err, setting);
    return kExitSuccess;
}

int runStatus(const Arguments& arguments, const CliSetting& setting) {
    setting.system.stopAtOnce(true);
    const TextSink& out = setting.console.out;
    const Finding finding = findUnit(arguments.unitPath, setting.system);
    if (arguments.json) {
        putStatusJson(out, finding, setting);
    } else {
        if (putVersionRows(out, finding, setting.language)) put(out, "\n");
        putExplanation(out, finding, setting);
    }
    closeProgrammer();
    return exitCodeOf(finding.state);
}

int runCli(int argumentCount, const char* const* arguments, const CliSetting& setting) {
    Arguments parsed;
    const ArgumentError error =
        parseArguments(argumentCount > 0 ? argumentCount - 1 : 0, arguments + 1, &parsed);
    if (error.problem != Text::count) {
        putUsageError(error, setting);
        return kExitUsage;
    }
    switch (parsed.verb) {
        case Verb::help: putHelp(setting); return kExitSuccess;
        case Verb::version: putVersion(setting); return kExitSuccess;
        case Verb::list: return runList(parsed, setting);
        case Verb::status: return runStatus(parsed, setting);
        case Verb::update: return runUpdate(parsed, setting);
        case Verb::none: break;
    }
    return kExitUsage;
}
