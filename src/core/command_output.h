// A program run without a shell, its standard output read through a pipe.
#pragma once

#include <stdio.h>
#include <sys/types.h>

struct command_output_t {
    FILE *output = nullptr;
    pid_t pid = -1;
};

/*
 * Starts argv[0] (searched in PATH) with argv, standard input from /dev/null
 * and standard output into a pipe; no shell is involved, so the arguments
 * need no quoting and none must exist. Returns 0, or -1 with errno set (the
 * program was not found or could not start). Any thread.
 */
int open_command_output(const char *const argv[], command_output_t &command);

// Closes the pipe and reaps the program. Returns its wait status, or -1.
int close_command_output(command_output_t &command);
