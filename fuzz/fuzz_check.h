// The check of the fuzz targets: a broken invariant aborts, so libFuzzer keeps the input.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition);                \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// The parsers' console lines, kept for an oracle that checks what would be printed
// (the targets link no logger); a target clears it, and it never grows past 1 MB.
static std::string g_console;

void console_printf(const char *format, ...)
{
    char line[8192];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (g_console.size() > (1 << 20))
        g_console.clear();
    g_console += line;
}
