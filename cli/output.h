// Where the flasher's text goes, and the bounded ways of putting it there.
#pragma once

#include <cstddef>
#include <cstdint>

struct TextSink {
    void (*write)(const char* bytes, std::size_t length, void* context);
    void* context;
    bool isTerminal;
};

// Every formatted line fits this buffer; a longer one is cut off at its end.
constexpr std::size_t kLineBytes = 2048;

// Writes `text` as it is, except that a "\r\n" of the window's catalogue becomes "\n".
void put(const TextSink& sink, const char* text);
void putLine(const TextSink& sink, const char* text);
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void putFormat(const TextSink& sink, const char* format, ...);

// `text` as a JSON string, quotes included; control characters escaped, UTF-8 passed through.
void putJsonString(const TextSink& sink, const char* text);
