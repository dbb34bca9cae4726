// The main dialog: the procedure that routes the dialog's messages to the layers below.
#pragma once

#include <windows.h>

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
