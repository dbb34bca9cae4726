#include "ui/app_globals.h"

HINSTANCE appInstance;
HWND mainDialog;
HDEVNOTIFY deviceNotification;
