// Device presence: the window's set-up, the probes at start and on arrival, the removal of the
// linked unit, and the hint panel's guidance texts.
#pragma once

#include <windows.h>

// WM_INITDIALOG, after mainDialog was stored: icon, title, labels, notifications, first probe.
void initMainDialog(HWND dialog);

// Gives the notification registration of initMainDialog back; the dialog calls it when it ends.
void endDeviceNotifications();

// WM_DEVICECHANGE with its wParam and lParam: 1 for an arrival or a removal, whatever was done;
// 0 for every other event.
int onDeviceChange(WPARAM event, LPARAM record);

// WM_TIMER: the look for a unit another of our programs held, about once a second.
void onUnitInUseTimer(UINT_PTR timer);

// After the update found another ESC behind the unit than the one confirmed (the record now
// describes it): the window shows it as it would a unit that had just arrived.
void showChangedUnit();

// The hint panel reads text `textId`, an empty line, then the connection steps.
void showHintWithSteps(UINT textId);

// The hint panel reads text `textId` alone.
void showHint(UINT textId);
