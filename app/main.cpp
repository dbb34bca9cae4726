// Program entry: one modal dialog, whose loop is the program's only message loop.
#include <windows.h>
#include <commctrl.h>

#include "link/programmer_link.h"
#include "resources/resource_ids.h"
#include "app/main_dialog.h"
#include "ui/app_globals.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // The update blocks this thread for about 46 s by design; the system's stand-in window for
    // a "not responding" program must not cover the dialog meanwhile.
    DisableProcessWindowsGhosting();
    InitCommonControls();
    appInstance = instance;
    resetProgrammerLink();
    // The dialog's result (2 closed, 1 refused registration) makes no difference to the exit.
    DialogBoxParamW(appInstance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, mainDialogProc, 0);
    return 0;
}
