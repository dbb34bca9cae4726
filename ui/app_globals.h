// The application's globals, set once by the entry point and the dialog and read by every window
// helper below them.
#pragma once

#include <windows.h>

// Module of every resource load: strings, icon, bitmap, firmware image.
extern HINSTANCE appInstance;
// Owner of every message box; every control lookup goes through it.
extern HWND mainDialog;
// HID interface notifications for mainDialog; null when the registration was refused.
extern HDEVNOTIFY deviceNotification;
