// The terminal flasher as a library: one call runs one command line against the device seam,
// with everything around it handed in (cli/cli.h).
#pragma once

#include "cli/cli.h"

// `arguments` are UTF-8, the program name first. Returns the exit code (cli/exit_codes.h).
int runCli(int argumentCount, const char* const* arguments, const CliSetting& setting);
