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

// A JSON object's field: a string, or null when `value` is; the comma after it unless it is
// the last field.
void putJsonField(const TextSink& sink, const char* name, const char* value, bool last = false);
// A number, or null when it is not `known`; the comma after it unless it is the last field.
void putJsonNumberField(const TextSink& sink, const char* name, bool known, unsigned long value,
                        bool last = false);
// The sink that appends to a std::string (its context).
void appendToString(const char* bytes, std::size_t length, void* text);
