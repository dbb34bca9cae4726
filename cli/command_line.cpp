// The command line's dispatch, and the help and version texts.
#include "cli/command_line.h"

#include <cstdio>

#include "cli/arguments.h"
#include "cli/exit_codes.h"
#include "cli/look_commands.h"
#include "cli/unit_report.h"
#include "cli/update_command.h"
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
    std::size_t rows = 0;
    const ExitCodeRow* row = exitCodeRows(&rows);
    for (const ExitCodeRow* end = row + rows; row != end; ++row)
        putFormat(out, kExitRowFormat, row->code, exitCodeMeaning(row->code, setting.language));
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
        case Verb::update: return runUpdateCommand(parsed, setting);
        case Verb::none: break;
    }
    return kExitUsage;
}
