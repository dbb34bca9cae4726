// What the flasher takes from the system it runs on: its command line, consoles, language,
// clock, stop requests and what the system tells about a device it cannot open. One file per
// platform: platform_posix.cpp, platform_windows.cpp.
#pragma once

#include <string>
#include <vector>

#include "cli/cli.h"

// The command line as UTF-8 words, the program name first.
std::vector<std::string> systemArguments(int argc, char** argv);
// From here on Ctrl-C and SIGTERM are recorded for the commands to look at, not acted upon at
// once. Call it first thing, before any other thread exists.
void catchStopRequests();
CliSetting systemSetting();
// The process's end: on a system with signals, work that a stop request ended early
// (kExitInterrupted) ends by that signal itself, default handler restored, so that a calling
// shell sees the interruption; otherwise it returns `exitCode`.
int endOfProcess(int exitCode);

// POSIX: the locale's language from LC_ALL, LC_MESSAGES and LANG, as the C library picks its
// message locale: the first one set and not empty decides, German when it starts with "de".
Language languageOfLocale(const char* lcAll, const char* lcMessages, const char* lang);
