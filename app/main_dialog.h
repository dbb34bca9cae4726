// The main dialog: the user-interface globals and the procedure that routes the dialog's messages.
#pragma once

#include <windows.h>

// Module of every resource load: strings, icon, bitmap, firmware image.
extern HINSTANCE appInstance;
// Owner of every message box; every control lookup goes through it.
extern HWND mainDialog;
// HID interface notifications for mainDialog; null when the registration was refused.
extern HDEVNOTIFY deviceNotification;

INT_PTR CALLBACK mainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Where the logo goes, in the paint context of the dialog's client area.
struct LogoPlacement {
    int x;
    int y;
    int width;
    int height;
};

// Half the bitmap's width or the room beside the version group box less a margin, whichever is
// smaller, with the aspect ratio kept; 20 pixels right of the group box, level with its top.
LogoPlacement logoDestination(int bitmapWidth, int bitmapHeight, const RECT& windowRect,
                              const RECT& groupRect, int dialogFrameWidth, int captionHeight);
