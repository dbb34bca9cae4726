// Client side of the simulated unit's control pipe, used by the substitute DLLs, the tests and
// the drivers that plug, fault and inspect simulated devices.
//
// The server (unit_server.exe) listens on \\.\pipe\zirvano-sim-control. Each command is one
// UTF-8 text message; each reply is one message, "ok ..." or "error <why>" unless noted.
//
// ZIRVANO_SIM_PIPES=STEM in the environment puts the server's pipes, and what the substitute
// DLLs, simctl.exe and the drivers look for, under \\.\pipe\STEM- instead of
// \\.\pipe\zirvano-sim-: runs side by side under one Wine server each get a unit of their own.
// A stem is up to 127 letters, digits, '-' and '_'; any other value counts as unset.
//
// Names are letters, digits, '-' and '_'. Queries by name also answer for an unplugged device.
//
//   plug <name> [vid=F0E1] [pid=2] [mode=app|boot] [esc=3] [escver=0302] [type=111F403C]
//        [bootver=02000105] [unitver=00010200] [caps=ok|fail|status] [outlen=60] [inlen=60]
//        [open=ok|fail] [detail=ok|short|fail]
//        -> "ok <path>". Adds a device at the end of the list (replugging a name replaces that
//        device and resets its unit). vid, pid and the versions are hex; esc, outlen and inlen
//        decimal. caps=fail: HidD_GetPreparsedData fails; caps=status: HidP_GetCaps returns an
//        error status. open=fail: listed, but its path cannot be opened. detail=short: the
//        detail size query reports less than the header; detail=fail: the detail read fails.
//   unplug <name>       -> "ok <path>". Gone from the list; open handles break. A disconnect
//                          fault does the same when it strikes.
//   reset               -> "ok". Unplugs every device and forgets them.
//   fault <name> <command-hex> <occurrence> <kind> [code] -> "ok". Occurrence 1 is the first
//         time that command arrives. Kinds: error (error answer with the code), refusal (status
//         byte 3 refuses), noanswer, disconnect (the request is not taken), malformed (garbage,
//         report ID included), garbled (garbage under report ID 2), twice (the answer comes
//         twice), unasked (the answer, then an error answer with the code nobody asked for),
//         late (the answer comes 30 s late), vanish (the request is taken, then the unit
//         vanishes before answering), duplicatelate (the answer, then the same again `code` ms
//         after the request, real time, while the next request is awaited), cut (only the
//         answer's first `code` bytes arrive), overlong (the answer and one byte more). The
//         code is hex, but decimal for duplicatelate and cut.
//   swapesc <name> <now|command-hex:occurrence> [none] [esc=3] [escver=0302] [type=111F403C]
//         [bootver=02000105] -> "ok". Another ESC on the unit's cable, with no USB event: at
//         once, or just before the unit answers that request. Without options a ready ESC of
//         the supported type, firmware 3.2, bootloader 2.1.5; `none` takes the ESC away (no
//         updatable ESC); the options change it as for `plug`.
//   hold <name> <command-hex> <occurrence> -> "ok". The answer to that request is kept back
//         until `release` (or until the device goes); nothing else is answered meanwhile.
//   awaithold <name> <ms> -> "ok" once an answer is kept back, "error nothing held" when none
//         is within `ms`.
//   release <name>      -> "ok": the kept answer goes out; "error nothing held" when none is.
//   list                -> one line per present device, in plug order: "<path>" or
//                          "<path> detail=short|fail". Empty when none.
//   info <path-or-name> -> "<vid> <pid> <outlen> <inlen> <ok|fail|status>", ids as 4 hex digits;
//                          "error gone" once the device is unplugged.
//   commands <name>     -> one line per received report: "<code-hex> <written-ms> <read-ms>",
//                          ms since the first report arrived; read-ms is when the answer went
//                          into the pipe, "-" when none did.
//   flash <name>        -> the bytes written since the erase as lowercase hex ("" when none).
//   flashsum <name>     -> "<size> <fnv1a32-hex>" of those bytes.
//   flashcmp <name> <windows-file-path> -> "equal" or "differ at <offset>" (size mismatch:
//                          the first offset past the shorter one).
//   state <name>        -> "locked=0 writeProtected=1 erased=0 addressSet=0 flash=<bytes>
//                          reports=<n> opens=<n> present=1 holding=0"
//   quit                -> "ok"; the server exits.
#pragma once

#include <string>

constexpr const wchar_t* kSimDefaultPipeStem = L"zirvano-sim";
constexpr const wchar_t* kSimPipeStemVariable = L"ZIRVANO_SIM_PIPES";

// The stem in force: ZIRVANO_SIM_PIPES when it names a valid one, else zirvano-sim.
std::wstring simPipeStem();
// \\.\pipe\STEM-, before a device's name.
std::wstring simPipePrefix();
// \\.\pipe\STEM-control.
std::wstring simControlPipe();

// How long simControl waits for a server that is still starting.
constexpr unsigned kSimServerWaitMs = 2000;

// Sends one command and receives its reply. Waits for the server's pipe to become free, and up
// to kSimServerWaitMs for it to appear; false when no server answers.
bool simControl(const wchar_t* command, std::wstring* reply);
// The same with its own wait for an absent server: the substitute DLLs pass 0, so that a
// program run without a server sees no devices at once.
bool simControlWait(const wchar_t* command, std::wstring* reply, unsigned appearWaitMs);

// Text conversion for the wire.
std::string simToUtf8(const std::wstring& text);
std::wstring simFromUtf8(const std::string& text);
