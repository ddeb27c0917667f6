// The check of the fuzz targets: a broken invariant aborts, so libFuzzer keeps the input.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition);                \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// The parsers' console lines: the targets link no logger, and nothing checks that output.
void console_printf(const char *, ...) {}
