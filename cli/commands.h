// The three commands; each works on the device seam and leaves no link open.
#pragma once

#include "cli/arguments.h"
#include "cli/cli.h"

int runList(const Arguments& arguments, const CliSetting& setting);
int runStatus(const Arguments& arguments, const CliSetting& setting);
int runUpdate(const Arguments& arguments, const CliSetting& setting);
