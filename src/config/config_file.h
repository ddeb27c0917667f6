// The configuration file on disk: whole reads, atomic private writes, copies of unreadable files.
#pragma once

#include <stddef.h>

// Reads a regular file whole (malloc'd, NUL-terminated; *size without the NUL).
// nullptr when it cannot be opened or read.
char *read_config_file(const char *path, size_t *size);

/*
 * A replacement of a file in two steps, so that the file is always either the
 * old or the new one and nothing between the steps waits for the disk:
 * stage_config_file writes text to a new temporary file beside path
 * ("<path>.saving-XXXXXX", from mkstemp), gives it the old file's mode and
 * owner (0600 for a new file, which holds passphrases) and syncs it;
 * commit_config_file renames it over path and syncs the folder. Each returns 0,
 * or -1 with errno set and the temporary file removed; path is untouched until
 * the rename. A staged file is committed or abandoned exactly once.
 */
struct staged_file_t {
    char path[512] = "";
    char temp_path[520] = "";
    int fd = -1;
};
int stage_config_file(const char *path, const char *text, size_t size, staged_file_t &staged);
// Replaces the staged text (truncated, written, synced). Returns 0 or -1 (errno).
int restage_config_file(staged_file_t &staged, const char *text, size_t size);
int commit_config_file(staged_file_t &staged);
void abandon_config_file(staged_file_t &staged);

// Both steps at once. Returns 0 or -1 with errno set.
int write_config_file(const char *path, const char *text, size_t size);

/*
 * For the exit path, on another thread than the one saving: waits up to
 * timeout_ms for a staged file to be committed or abandoned, then removes one
 * still staged, so its copy of every passphrase does not outlive the process.
 */
void finish_or_abandon_staged_file(int timeout_ms);

// Removes temporary files a killed save left beside path: exactly the staged
// name pattern, regular files owned by this user. Returns how many went.
int remove_stale_staged_files(const char *path);

/*
 * Copies the bytes of an unreadable configuration next to it as
 * "<path>.bad-YYYYMMDD-HHMMSS" (UTC; "-2", "-3"... when taken), mode 0600, so
 * the next save cannot lose them. Returns 0 with the copy's name in copy_path,
 * or -1 with errno set.
 */
int set_aside_config_file(const char *path, const char *text, size_t size, char *copy_path,
                          size_t copy_path_size);
