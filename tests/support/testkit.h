// Shared test support: temporary folders, free ports, child processes, SRT peers.
#pragma once

#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A folder under /tmp that the test owns; removed by remove_tree.
std::string make_temp_dir(void);
void remove_tree(const std::string &path);

std::string read_text_file(const std::string &path);
// Permission bits of a file, 0 when it does not exist.
mode_t file_mode(const std::string &path);
void write_text_file(const std::string &path, const std::string &text);

// A port nobody holds right now (UDP for SRT, TCP for HTTP).
int free_udp_port(void);
int free_tcp_port(void);

// Polls condition every 20 ms until it holds or timeout_ms passes.
bool wait_until(const std::function<bool()> &condition, int timeout_ms);

// A child process with its output in files; stopped by PID.
struct child_process_t {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
    int status = -1; // exit status once reaped (128+signal when killed)
};

// Starts argv[0] (searched in PATH) with extra environment variables; output to files.
child_process_t spawn_process(const std::vector<std::string> &argv,
                              const std::map<std::string, std::string> &env,
                              const std::string &out_path, const std::string &err_path);
// Waits up to timeout_ms for the child to end; true when it did (status filled).
bool wait_process(child_process_t &child, int timeout_ms);
// Sends signo and waits; after timeout_ms kills it. Returns the exit status.
int stop_process(child_process_t &child, int signo, int timeout_ms);

// The relay binary run in its own folder, on its own ports.
struct relay_process_t {
    std::string dir;
    std::string config_path;
    int http_port = 0;
    std::string api_key = "test-key";
    child_process_t child;
};

// Starts build/mirevo with MIREVO_* pointing into dir; waits for its first
// log line. extra_env may override or add variables; wrapper is a command that
// execs the relay (such as prlimit), or nothing.
relay_process_t start_relay(const std::string &dir,
                            const std::map<std::string, std::string> &extra_env = {},
                            const std::vector<std::string> &wrapper = {});
std::string relay_stdout(const relay_process_t &relay);
// Waits until the relay's standard output contains text.
bool wait_relay_output(const relay_process_t &relay, const std::string &text, int timeout_ms);
// SIGTERM, then the exit status; fails the current test on a sanitizer report.
int stop_relay(relay_process_t &relay);
// A route file with route 100: one source and one target, both enabled.
std::string route_file(const std::string &source_mode, const std::string &source_url,
                       const std::string &target_mode, const std::string &target_url);
// Counts occurrences of needle in haystack.
size_t count_occurrences(const std::string &haystack, const std::string &needle);

// SRT peers on 127.0.0.1, or ::1 with AF_INET6 (live mode, blocking calls with
// timeouts). A caller that fails to connect is closed; its reject reason goes to
// reason. A flow window (packets, 0 for the library's) also sizes the receive buffer.
int srt_open_caller(int port, const std::string &streamid = "", int timeout_ms = 3000,
                    int *reason = nullptr, int flow_window = 0, const std::string &passphrase = "",
                    int family = AF_INET);
int srt_open_listener(int port, int family = AF_INET);
int srt_accept_one(int listener, int timeout_ms);

// Sends 1316-byte messages on sock every 10 ms from construction until destruction:
// bytes 0..3 count up, the others hold fill.
struct publisher_t {
    explicit publisher_t(int sock, char fill = 0);
    ~publisher_t();
    std::atomic<bool> running{true};
    std::thread thread;
};
// Receives one message on sock within timeout_ms: its fill byte (byte 4), or -1.
int receive_fill(int sock, int timeout_ms);

// Runs fn with standard output sent to an unnamed temporary file; returns what it printed.
std::string capture_stdout(const std::function<void()> &fn);

// A route record with no threads and no sockets, put at the front of g_routes
// (takes g_routes_lock). nullptr when the record could not be built.
struct route_t;
route_t *insert_idle_route(int32_t id);

// For one test: an empty route registry with fresh id counters and its configuration
// file in a folder of its own. The destructor empties the registry again (discard_all_routes),
// resets the counters, restores the configuration path and removes the folder.
struct registry_sandbox_t {
    registry_sandbox_t();
    ~registry_sandbox_t();
    std::string dir;
    std::string config_path;
    char saved_config_path[256];
};
