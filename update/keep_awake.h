// Keeps the computer awake while an update writes the ESC: no sleep half-way through, and on
// Windows 20 ms pauses that are not stretched to the system's default timer tick. One file per
// platform: keep_awake_win.cpp, keep_awake_logind.cpp (Linux).
#pragma once

// Holds nest: the first `true` takes hold, the last matching `false` lets go, and a `false`
// without a hold does nothing. Where the system offers no way to stay awake, it does nothing.
void keepAwake(bool holding);
