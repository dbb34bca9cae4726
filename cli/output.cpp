#include "cli/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kJsonControlFormat[] = "\\u%04x";
constexpr unsigned char kFirstPrintable = 0x20;
constexpr char kJsonNull[] = "null";

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

void putJsonField(const TextSink& sink, const char* name, const char* value, bool last) {
    putFormat(sink, "\"%s\":", name);
    if (value == nullptr)
        put(sink, kJsonNull);
    else
        putJsonString(sink, value);
    put(sink, last ? "" : ",");
}

void putJsonNumberField(const TextSink& sink, const char* name, bool known, unsigned long value,
                        bool last) {
    putFormat(sink, "\"%s\":", name);
    if (known)
        putFormat(sink, "%lu", value);
    else
        put(sink, kJsonNull);
    put(sink, last ? "" : ",");
}

void appendToString(const char* bytes, std::size_t length, void* text) {
    static_cast<std::string*>(text)->append(bytes, length);
}
