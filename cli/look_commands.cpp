// list and status: the two commands that only look, so a stop request ends them at once.
#include "cli/look_commands.h"

#include "cli/exit_codes.h"
#include "cli/unit_finding.h"
#include "cli/unit_report.h"

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
