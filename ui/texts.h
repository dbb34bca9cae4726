// Catalogue texts: the one place that fetches language-dependent texts by ID and fills formats.
#pragma once

#include <windows.h>

// Every catalogue text and every formatted message fits this buffer, terminator included.
constexpr int kTextUnits = 2048;

// Fetches text `id` from appInstance; an absent ID leaves an empty string. Returns its length.
int loadText(UINT id, wchar_t (&text)[kTextUnits]);

// Fetches format `formatId` and fills it, cut off at the buffer's end. Windows printf rules:
// a "%s" in a catalogue text takes a wide string.
void formatText(wchar_t (&text)[kTextUnits], UINT formatId, ...);

// A message box owned by the main dialog with catalogue text and caption; returns the button.
int showCatalogueBox(UINT textId, UINT captionId, UINT style);

// Appends `tail`, cut off at the buffer's end.
void appendText(wchar_t (&text)[kTextUnits], const wchar_t* tail);
