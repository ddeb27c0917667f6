// Shared test support: temporary folders, free ports, child processes, SRT peers.
#pragma once

#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Load tests run smaller under a sanitizer, which finds its faults at any size.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

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

// A socket holding 127.0.0.1:port (listening if TCP), no address reuse; -1 when taken.
int hold_port(int port, int type);

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

// Starts the relay with MIREVO_* in dir, waits for its first line; wrapper execs it (prlimit).
relay_process_t start_relay(const std::string &dir,
                            const std::map<std::string, std::string> &extra_env = {},
                            const std::vector<std::string> &wrapper = {});
std::string relay_stdout(const relay_process_t &relay);
// Waits until the relay's standard output contains text.
bool wait_relay_output(const relay_process_t &relay, const std::string &text, int timeout_ms);
// Waits until text stands at_least times in the relay's output; the count then.
size_t wait_relay_count(const relay_process_t &relay, const std::string &text, size_t at_least,
                        int timeout_ms);
// SIGTERM, then the exit status; fails the current test on a sanitizer report.
int stop_relay(relay_process_t &relay);
// A route file with route 100: one source and one target, both enabled.
std::string route_file(const std::string &source_mode, const std::string &source_url,
                       const std::string &target_mode, const std::string &target_url);
// count routes listening on shared ports: route 100 + n (target 20000 + n) with stream id
// cam<n> on source_ports[n % size] and target_ports[n % size].
std::string shared_port_routes(int count, const std::vector<int> &source_ports,
                               const std::vector<int> &target_ports);
// "srt://host:port".
std::string srt_url(const std::string &host, int port);
// Counts occurrences of needle in haystack.
size_t count_occurrences(const std::string &haystack, const std::string &needle);

// SRT peers on 127.0.0.1 or ::1; reason gets a refusal's code; flow_window lets a reader stall.
int srt_open_caller(int port, const std::string &streamid = "", int timeout_ms = 3000,
                    int *reason = nullptr, int flow_window = 0, const std::string &passphrase = "",
                    int family = AF_INET);
int srt_open_listener(int port, int family = AF_INET);
int srt_accept_one(int listener, int timeout_ms);

// Test messages: 1316 bytes, the number, the send time, then a fill derived from the number.
const int MESSAGE_SIZE = 1316;
int64_t steady_us(void);
void fill_message(char *message, uint32_t seq);

// Sends numbered messages at rate a second, or receives and counts what arrives, until stop().
struct peer_t {
    std::atomic<bool> running{true};
    std::atomic<uint32_t> next, first{0}, last{0};
    std::atomic<int> count{0}, corrupt{0}, out_of_order{0};
    std::atomic<int64_t> longest_gap_us{0};
    std::vector<int64_t> latency_us; // read once stopped
    std::thread thread;
    int sock;

    explicit peer_t(int sock, int rate = 0, uint32_t first_seq = 0);
    ~peer_t();
    void stop();
    void send(int rate);
    void receive();
};
// Stops the sender; each receiver got every message intact, in order, from a first <= max_first.
void expect_whole_stream(peer_t &sender, std::vector<std::unique_ptr<peer_t>> &receivers,
                         uint32_t max_first);
// The number of one message received on sock within timeout_ms, or -1.
int64_t receive_seq(int sock, int timeout_ms);

// Runs fn with standard output sent to an unnamed temporary file; returns what it printed.
std::string capture_stdout(const std::function<void()> &fn);

// An idle route record at the front of g_routes; nullptr when it could not be built.
struct route_t;
route_t *insert_idle_route(int32_t id);

// An empty registry with fresh counters and its own route file, undone on destruction.
struct registry_sandbox_t {
    registry_sandbox_t();
    ~registry_sandbox_t();
    std::string dir;
    std::string config_path;
    char saved_config_path[256];
};
