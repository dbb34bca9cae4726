#include "ui/texts.h"

#include <strsafe.h>

#include <cstdarg>

#include "ui/app_globals.h"

int loadText(UINT id, wchar_t (&text)[kTextUnits]) {
    text[0] = L'\0';
    return LoadStringW(appInstance, id, text, kTextUnits);
}

void formatText(wchar_t (&text)[kTextUnits], UINT formatId, ...) {
    wchar_t format[kTextUnits];
    loadText(formatId, format);
    va_list arguments;
    va_start(arguments, formatId);
    // The strsafe formatter keeps the platform's meaning of "%s" in wide formats; the C library
    // of this toolchain would read the argument as a narrow string.
    StringCchVPrintfW(text, kTextUnits, format, arguments);
    va_end(arguments);
}

void appendText(wchar_t (&text)[kTextUnits], const wchar_t* tail) {
    StringCchCatW(text, kTextUnits, tail);
}

int showCatalogueBox(UINT textId, UINT captionId, UINT style) {
    wchar_t text[kTextUnits];
    wchar_t caption[kTextUnits];
    loadText(textId, text);
    loadText(captionId, caption);
    return MessageBoxW(mainDialog, text, caption, style);
}
