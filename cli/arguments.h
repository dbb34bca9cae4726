// The command line: one command, then its options.
#pragma once

#include "cli/texts.h"

enum class Verb { none, list, status, update, help, version };

struct Arguments {
    Verb verb;
    const char* unitPath;  // --unit; null when not given
    const char* recordPath;  // --record: update; null when not given
    bool json;             // --json: list and status
    bool yes;
    bool allowDowngrade;
    bool wait;    // --wait: until an ESC to update is there
    bool repeat;  // --repeat: one ESC after another, until Ctrl-C; takes --wait with it
};

struct ArgumentError {
    Text problem;         // Text::count when the command line is fine
    const char* subject;  // the word it is about, for the text's format
    const char* command;  // the command an unknown option was given to
};

// `arguments` without the program name. --help and --version stand for the command anywhere.
ArgumentError parseArguments(int count, const char* const* arguments, Arguments* parsed);
