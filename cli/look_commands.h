// list and status: the two commands that only look; each leaves no link open.
#pragma once

#include "cli/arguments.h"
#include "cli/cli.h"

int runList(const Arguments& arguments, const CliSetting& setting);
int runStatus(const Arguments& arguments, const CliSetting& setting);
