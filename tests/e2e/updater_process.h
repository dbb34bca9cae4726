// Starts the updater (and the console flasher) beside the substitute DLLs and ends it.
//
// Under Wine a child process takes its Unix environment from its parent's Unix environment, not
// from an environment block passed to CreateProcessW; the DLL overrides and the locale (which
// picks the language of the resources) live there. So the script that starts the driver sets
// WINEDLLOVERRIDES and LANG/LC_ALL, and the driver checks them and runs the rows of that language.
#pragma once

#include <windows.h>

#include <string>

#include "tests/shared/catalogue_texts.h"

struct UpdaterProcess {
    HANDLE process = nullptr;
    DWORD id = 0;
};

// The language the program will show: German when LC_ALL (or else LANG) names a German locale.
handwritten::Language environmentLanguage();
// True when WINEDLLOVERRIDES makes setupapi.dll and hid.dll load from the program's folder.
bool substituteDllsSelected();

// Starts ZirvanoUpdater.exe from the driver's folder, as a user starts it: no arguments. On the
// desktop named `desktop` when one is given (a virtual desktop that draws captions).
bool launchUpdater(UpdaterProcess* program, const wchar_t* desktop = nullptr);

// Starts zirvano-flash.exe from the driver's folder with `arguments`, its standard input
// empty and its output and errors written to `outputFile`, as a script would run it.
bool launchFlasher(UpdaterProcess* flasher, const std::wstring& arguments,
                   const std::wstring& outputFile);

// Waits up to `boundMs` for the program to end; false while it still runs.
bool waitForExit(UpdaterProcess& program, DWORD boundMs, DWORD* exitCode);

// Ends a program that is still running (after a failed scenario) and forgets it.
void endUpdater(UpdaterProcess& program);
