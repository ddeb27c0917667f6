// A program run without a shell, its standard output read through a pipe.
#include "core/command_output.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// Spawns argv with standard output on write_fd. Returns 0 or an errno value.
static int spawn_with_output(const char *const argv[], int write_fd, pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int err = posix_spawn_file_actions_init(&actions);
    if (err != 0)
        return err;
    err = posix_spawnattr_init(&attributes);
    if (err != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return err;
    }
    // dup2 clears close-on-exec on the copy; both pipe ends close in the child.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, write_fd, STDOUT_FILENO);
    // The relay ignores SIGPIPE; a reader that stops early should end the program quietly.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    err =
        posix_spawnp(pid, argv[0], &actions, &attributes, const_cast<char *const *>(argv), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

int open_command_output(const char *const argv[], command_output_t &command)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) == -1)
        return -1;
    int err = spawn_with_output(argv, pipe_fds[1], &command.pid);
    close(pipe_fds[1]);
    if (err == 0) {
        command.output = fdopen(pipe_fds[0], "r");
        if (command.output != nullptr)
            return 0;
        err = errno;
        close(pipe_fds[0]);
        waitpid(command.pid, nullptr, 0); // its writes fail once the read end is gone
    } else {
        close(pipe_fds[0]);
    }
    command.pid = -1;
    errno = err;
    return -1;
}

int close_command_output(command_output_t &command)
{
    int status = -1;
    if (command.output != nullptr)
        fclose(command.output);
    command.output = nullptr;
    while (command.pid > 0 && waitpid(command.pid, &status, 0) == -1 && errno == EINTR) {
    }
    command.pid = -1;
    return status;
}
