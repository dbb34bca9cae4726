// Starts unit_server.exe from the test program's folder, stops it at the end, and sends it
// control commands.
#pragma once

#include <string>

// Starts the server from the test program's own folder and waits for its "ready"; false when it
// does not come up (already running, missing, crashed).
bool startUnitServer();
// Asks the server to quit and waits for it; ends it only if it does not.
void stopUnitServer();

// A file in the folder of the running program (where the server and its DLLs are).
std::wstring besideThisProgram(const wchar_t* file);

// One control command; the reply, or "no server".
std::string sim(const std::string& command);
