// The configuration file on disk: whole reads, atomic private writes, copies of unreadable files.
#pragma once

#include <stddef.h>

// Reads a regular file whole (malloc'd, NUL-terminated; *size without the NUL).
// nullptr when it cannot be opened or read.
char *read_config_file(const char *path, size_t *size);

/*
 * Replaces path with text so that it is always either the old or the new file:
 * a temporary file from mkstemp in the same folder is written, synced, given the
 * old file's mode and owner (0600 for a new file, which holds passphrases) and
 * renamed over path; then the folder is synced. Returns 0, or -1 with errno set
 * and the old file untouched.
 */
int write_config_file(const char *path, const char *text, size_t size);

/*
 * Copies the bytes of an unreadable configuration next to it as
 * "<path>.bad-YYYYMMDD-HHMMSS" (UTC; "-2", "-3"... when taken), mode 0600, so
 * the next save cannot lose them. Returns 0 with the copy's name in copy_path,
 * or -1 with errno set.
 */
int set_aside_config_file(const char *path, const char *text, size_t size, char *copy_path,
                          size_t copy_path_size);
