// What the terminal flasher works with, handed in from outside (cli/platform.h on a real system,
// the tests' own on the simulated bus): consoles, answers, clock, stop requests, record file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "update/carried_image.h"
#include "cli/output.h"
#include "cli/texts.h"

struct Console {
    TextSink out;
    TextSink err;
    bool inputIsTerminal;
    // Reads one line of the user's answer, without its line end, cut to `size` - 1 bytes; false
    // at the end of input or when the wait was broken off by a stop request.
    bool (*readLine)(char* line, std::size_t size, void* context);
    void* readContext;
};

// What the user asked by signals so far. One Ctrl-C asks; a second one, SIGTERM, or a console
// being closed insists.
enum class StopRequest { none, asked, insisted };

struct SystemHooks {
    std::uint64_t (*nowMs)();  // a monotonic clock, for the time left
    StopRequest (*stopRequest)();
    // While on, a stop request ends the program at once, by the signal itself where the system
    // has signals: set while nothing is written that a stop could leave half done.
    void (*stopAtOnce)(bool atOnce);
    void (*holdForUpdate)(bool holding);  // keeps the system awake and its timer fine meanwhile
    bool (*isPermissionDenied)(std::uint32_t systemError);
    // False only when the system tells, without opening it, that the interface at `path` is
    // some other device; an interface that cannot be opened is left out of the units then.
    bool (*mayBeUnit)(const char16_t* path);
    bool udevRules;  // a permission problem is solved with the udev rule (Linux)
    // --record: a file opened for appending; null, with *systemError, when it cannot be.
    void* (*openRecord)(const char* path, std::uint32_t* systemError);
    // Appends `line` in one write, so that two programs recording into one file never mix
    // their lines, and makes it durable before it returns; false with *systemError.
    bool (*appendRecord)(void* file, const char* line, std::size_t length,
                         std::uint32_t* systemError);
    void (*closeRecord)(void* file);
    std::uint64_t (*utcNowMs)();  // milliseconds since 1970-01-01 UTC, for the record
};

struct CliSetting {
    Console console;
    SystemHooks system;
    Language language;
    CarriedImage image;
};

