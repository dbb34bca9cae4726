#include "cli/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kJsonControlFormat[] = "\\u%04x";
constexpr unsigned char kFirstPrintable = 0x20;

void write(const TextSink& sink, const char* bytes, std::size_t length) {
    if (length != 0) sink.write(bytes, length, sink.context);
}

}  // namespace

void put(const TextSink& sink, const char* text) {
    const char* start = text;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '\r' && p[1] == '\n') {
            write(sink, start, static_cast<std::size_t>(p - start));
            start = p + 1;
        }
    }
    write(sink, start, std::strlen(start));
}

void putLine(const TextSink& sink, const char* text) {
    put(sink, text);
    write(sink, "\n", 1);
}

void putFormat(const TextSink& sink, const char* format, ...) {
    char line[kLineBytes];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    put(sink, line);
}

void putJsonString(const TextSink& sink, const char* text) {
    write(sink, "\"", 1);
    const char* start = text;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto unit = static_cast<unsigned char>(*p);
        char escaped[sizeof "\\u0000"];
        if (unit == '"' || unit == '\\') {
            std::snprintf(escaped, sizeof escaped, "\\%c", *p);
        } else if (unit < kFirstPrintable) {
            std::snprintf(escaped, sizeof escaped, kJsonControlFormat, unit);
        } else {
            continue;
        }
        write(sink, start, static_cast<std::size_t>(p - start));
        write(sink, escaped, std::strlen(escaped));
        start = p + 1;
    }
    write(sink, start, std::strlen(start));
    write(sink, "\"", 1);
}
