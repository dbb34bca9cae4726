// `update`: one ESC, or with --wait a series of them (cli/series_command.h).
#pragma once

#include "cli/arguments.h"
#include "cli/cli.h"

int runUpdateCommand(const Arguments& arguments, const CliSetting& setting);
