// Shared test support: temporary folders, free ports, child processes, SRT peers.
#include "testkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "core/log.h"
#include "core/settings.h"
#include "routing/operations.h"
#include "routing/registry.h"

#ifndef MIREVO_BINARY
#define MIREVO_BINARY "build/mirevo"
#endif

std::string make_temp_dir(void)
{
    char pattern[] = "/tmp/mirevo-test-XXXXXX";
    char *dir = mkdtemp(pattern);
    return dir != nullptr ? std::string(dir) : std::string();
}

void remove_tree(const std::string &path)
{
    if (path.rfind("/tmp/mirevo-test-", 0) != 0)
        return;
    std::string command = "rm -rf '" + path + "'";
    int ignored = system(command.c_str());
    (void)ignored;
}

std::string read_text_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

mode_t file_mode(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

void write_text_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

static int free_port(int type)
{
    int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) == 0 &&
        getsockname(fd, (struct sockaddr *)&addr, &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

int hold_port(int port, int type)
{
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}};
    if (fd >= 0 && bind(fd, (struct sockaddr *)&addr, sizeof addr) == 0 &&
        (type != SOCK_STREAM || listen(fd, 1) == 0))
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

int free_udp_port(void)
{
    return free_port(SOCK_DGRAM);
}

int free_tcp_port(void)
{
    return free_port(SOCK_STREAM);
}

bool wait_until(const std::function<bool()> &condition, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

child_process_t spawn_process(const std::vector<std::string> &argv,
                              const std::map<std::string, std::string> &env,
                              const std::string &out_path, const std::string &err_path)
{
    child_process_t child;
    child.out_path = out_path;
    child.err_path = err_path;
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null_in = open("/dev/null", O_RDONLY);
        if (out >= 0)
            dup2(out, STDOUT_FILENO);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        if (null_in >= 0)
            dup2(null_in, STDIN_FILENO);
        for (const auto &entry : env)
            setenv(entry.first.c_str(), entry.second.c_str(), 1);
        std::vector<char *> args;
        for (const std::string &arg : argv)
            args.push_back(const_cast<char *>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    child.pid = pid;
    return child;
}

bool wait_process(child_process_t &child, int timeout_ms)
{
    if (child.pid <= 0)
        return true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(child.pid, &status, WNOHANG);
        if (done == child.pid) {
            child.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            child.pid = -1;
            return true;
        }
        if (done < 0) {
            child.pid = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int stop_process(child_process_t &child, int signo, int timeout_ms)
{
    if (child.pid > 0) {
        kill(child.pid, signo);
        if (!wait_process(child, timeout_ms)) {
            kill(child.pid, SIGKILL);
            wait_process(child, 5000);
        }
    }
    return child.status;
}

relay_process_t start_relay(const std::string &dir,
                            const std::map<std::string, std::string> &extra_env,
                            const std::vector<std::string> &wrapper)
{
    relay_process_t relay;
    relay.dir = dir;
    relay.config_path = dir + "/mirevo-config.json";
    relay.http_port = free_tcp_port();
    std::map<std::string, std::string> env = {
        {"MIREVO_LOG_DIR", dir},
        {"MIREVO_CONFIG", relay.config_path},
        {"MIREVO_HTTP_PORT", std::to_string(relay.http_port)},
        {"MIREVO_API_KEY", relay.api_key},
    };
    for (const auto &entry : extra_env)
        env[entry.first] = entry.second;
    auto port = env.find("MIREVO_HTTP_PORT");
    if (port != env.end() && !port->second.empty())
        relay.http_port = atoi(port->second.c_str());
    auto key = env.find("MIREVO_API_KEY");
    relay.api_key = key != env.end() ? key->second : "";
    auto config = env.find("MIREVO_CONFIG");
    if (config != env.end())
        relay.config_path = config->second;
    // Emptied here, so no line of a relay that ran before in dir is taken for this one's.
    write_text_file(dir + "/relay.out", "");
    std::vector<std::string> argv = wrapper;
    argv.push_back(MIREVO_BINARY);
    relay.child = spawn_process(argv, env, dir + "/relay.out", dir + "/relay.err");
    wait_relay_output(relay, "Server was successfully initialized", 10000);
    return relay;
}

std::string relay_stdout(const relay_process_t &relay)
{
    return read_text_file(relay.child.out_path);
}

bool wait_relay_output(const relay_process_t &relay, const std::string &text, int timeout_ms)
{
    return wait_until([&] { return relay_stdout(relay).find(text) != std::string::npos; },
                      timeout_ms);
}

size_t wait_relay_count(const relay_process_t &relay, const std::string &text, size_t at_least,
                        int timeout_ms)
{
    size_t count = 0;
    wait_until([&] { return (count = count_occurrences(relay_stdout(relay), text)) >= at_least; },
               timeout_ms);
    return count;
}

int stop_relay(relay_process_t &relay)
{
    int status = stop_process(relay.child, SIGTERM, 10000);
    std::string err = read_text_file(relay.child.err_path);
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
    return status;
}

std::string route_file(const std::string &source_mode, const std::string &source_url,
                       const std::string &target_mode, const std::string &target_url)
{
    return "{\"100\":{\"source_id\":100,\"enabled\":1,\"mode\":\"" + source_mode + "\",\"url\":\"" +
           source_url + "\",\"targets\":{\"1000\":{\"enabled\":1,\"mode\":\"" + target_mode +
           "\",\"url\":\"" + target_url + "\"}}}}";
}

std::string shared_port_routes(int count, const std::vector<int> &source_ports,
                               const std::vector<int> &target_ports)
{
    std::string text = "{";
    for (int n = 0; n < count; n++) {
        std::string id = "?streamid=cam" + std::to_string(n);
        text += (n == 0 ? "\"" : ",\"") + std::to_string(100 + n) +
                "\":{\"source_id\":" + std::to_string(100 + n) +
                ",\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                srt_url("", source_ports[n % source_ports.size()]) + id + "\",\"targets\":{\"" +
                std::to_string(20000 + n) + "\":{\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                srt_url("", target_ports[n % target_ports.size()]) + id + "\"}}}";
    }
    return text + "}";
}

std::string srt_url(const std::string &host, int port)
{
    return "srt://" + host + ":" + std::to_string(port);
}

size_t count_occurrences(const std::string &haystack, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size()))
        count++;
    return count;
}

// 127.0.0.1 or ::1 with port; returns the address length.
static int loopback_address(int port, int family, struct sockaddr_storage *addr)
{
    memset(addr, 0, sizeof *addr);
    if (family == AF_INET6) {
        struct sockaddr_in6 *v6 = (struct sockaddr_in6 *)addr;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((uint16_t)port);
        v6->sin6_addr = in6addr_loopback;
        return (int)sizeof *v6;
    }
    struct sockaddr_in *v4 = (struct sockaddr_in *)addr;
    v4->sin_family = AF_INET;
    v4->sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &v4->sin_addr);
    return (int)sizeof *v4;
}

int srt_open_caller(int port, const std::string &streamid, int timeout_ms, int *reason,
                    int flow_window, const std::string &passphrase, int family)
{
    int sock = srt_create_socket();
    if (sock == SRT_INVALID_SOCK)
        return -1;
    if (!streamid.empty())
        srt_setsockflag(sock, SRTO_STREAMID, streamid.c_str(), (int)streamid.size());
    if (!passphrase.empty())
        srt_setsockflag(sock, SRTO_PASSPHRASE, passphrase.c_str(), (int)passphrase.size());
    srt_setsockflag(sock, SRTO_CONNTIMEO, &timeout_ms, sizeof timeout_ms);
    if (flow_window > 0) {
        int buffer = flow_window * 1500, no = 0;
        srt_setsockflag(sock, SRTO_FC, &flow_window, sizeof flow_window);
        srt_setsockflag(sock, SRTO_RCVBUF, &buffer, sizeof buffer);
        srt_setsockflag(sock, SRTO_TLPKTDROP, &no, sizeof no);
    }
    struct sockaddr_storage addr;
    int length = loopback_address(port, family, &addr);
    if (srt_connect(sock, (struct sockaddr *)&addr, length) == SRT_ERROR) {
        if (reason != nullptr)
            *reason = srt_getrejectreason(sock);
        srt_close(sock);
        return -1;
    }
    return sock;
}

int srt_open_listener(int port, int family)
{
    int sock = srt_create_socket();
    if (sock == SRT_INVALID_SOCK)
        return -1;
    struct sockaddr_storage addr;
    int length = loopback_address(port, family, &addr);
    if (srt_bind(sock, (struct sockaddr *)&addr, length) == SRT_ERROR ||
        srt_listen(sock, 10) == SRT_ERROR) {
        srt_close(sock);
        return -1;
    }
    return sock;
}

int srt_accept_one(int listener, int timeout_ms)
{
    // A caller that came before the listener was watched raises no event: poll accepts.
    int no = 0;
    srt_setsockflag(listener, SRTO_RCVSYN, &no, sizeof no);
    int sock = SRT_INVALID_SOCK;
    wait_until(
        [&] {
            struct sockaddr_storage peer;
            int len = sizeof peer;
            sock = srt_accept(listener, (struct sockaddr *)&peer, &len);
            return sock != SRT_INVALID_SOCK;
        },
        timeout_ms);
    if (sock != SRT_INVALID_SOCK) {
        int yes = 1;
        srt_setsockflag(sock, SRTO_RCVSYN, &yes, sizeof yes);
        srt_setsockflag(sock, SRTO_SNDSYN, &yes, sizeof yes);
    }
    return sock;
}

const int PATTERN_START = 12;

// Byte i of message seq.
static char pattern_byte(uint32_t seq, int i)
{
    return (char)((seq * 31 + (uint32_t)i) & 0xff);
}

int64_t steady_us(void)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void fill_message(char *message, uint32_t seq)
{
    int64_t sent_us = steady_us();
    memcpy(message, &seq, sizeof seq);
    memcpy(message + 4, &sent_us, sizeof sent_us);
    for (int i = PATTERN_START; i < MESSAGE_SIZE; i++)
        message[i] = pattern_byte(seq, i);
}

peer_t::peer_t(int sock, int rate, uint32_t first_seq) : next(first_seq), sock(sock)
{
    thread = std::thread([this, rate] { rate > 0 ? send(rate) : receive(); });
}

peer_t::~peer_t()
{
    stop();
}

void peer_t::stop()
{
    running = false;
    if (thread.joinable())
        thread.join();
}

void peer_t::send(int rate)
{
    char message[MESSAGE_SIZE];
    for (auto due = std::chrono::steady_clock::now(); running; next++) {
        fill_message(message, next);
        if (srt_sendmsg(sock, message, MESSAGE_SIZE, -1, 1) == SRT_ERROR)
            break;
        due += std::chrono::microseconds(1000000 / rate);
        std::this_thread::sleep_until(due);
    }
}

void peer_t::receive()
{
    char buf[1500];
    int64_t previous_us = 0;
    int timeout = 100;
    srt_setsockflag(sock, SRTO_RCVTIMEO, &timeout, sizeof timeout);
    while (running) {
        int length = srt_recvmsg(sock, buf, sizeof buf);
        if (length < 0 && srt_getsockstate(sock) != SRTS_CONNECTED)
            break;
        if (length < 0)
            continue;
        uint32_t seq = 0;
        int64_t sent_us = 0, now_us = steady_us();
        memcpy(&seq, buf, sizeof seq);
        memcpy(&sent_us, buf + 4, sizeof sent_us);
        bool intact = length == MESSAGE_SIZE;
        for (int i = PATTERN_START; intact && i < MESSAGE_SIZE; i++)
            intact = buf[i] == pattern_byte(seq, i);
        if (!intact) {
            corrupt++;
            continue;
        }
        latency_us.push_back(now_us - sent_us);
        if (previous_us != 0 && now_us - previous_us > longest_gap_us)
            longest_gap_us = now_us - previous_us;
        previous_us = now_us;
        if (count > 0 && seq <= last)
            out_of_order++;
        if (count++ == 0)
            first = seq;
        last = seq;
    }
}

void expect_whole_stream(peer_t &sender, std::vector<std::unique_ptr<peer_t>> &receivers,
                         uint32_t max_first)
{
    sender.stop();
    // The last message sent reaches each receiver within its latency; a lost one never does.
    for (auto &receiver : receivers)
        wait_until([&] { return receiver->count > 0 && receiver->last + 1 == sender.next; }, 5000);
    for (auto &receiver : receivers) {
        receiver->stop();
        EXPECT_EQ(receiver->corrupt + receiver->out_of_order, 0);
        EXPECT_LE(receiver->first, max_first);
        EXPECT_EQ((uint32_t)receiver->count, sender.next - receiver->first);
    }
}

int64_t receive_seq(int sock, int timeout_ms)
{
    char buf[1500];
    uint32_t seq = 0;
    srt_setsockflag(sock, SRTO_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
    if (srt_recvmsg(sock, buf, sizeof buf) < 4)
        return -1;
    memcpy(&seq, buf, sizeof seq);
    return seq;
}

std::string capture_stdout(const std::function<void()> &fn)
{
    FILE *sink = tmpfile();
    EXPECT_NE(sink, nullptr);
    if (sink == nullptr) {
        fn();
        return "";
    }
    flush_log(5000);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    fn();
    // The log writer writes what fn queued a moment later.
    flush_log(5000);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string printed;
    char buf[4096];
    rewind(sink);
    for (size_t n = fread(buf, 1, sizeof buf, sink); n > 0; n = fread(buf, 1, sizeof buf, sink))
        printed.append(buf, n);
    fclose(sink);
    return printed;
}

route_t *insert_idle_route(int32_t id)
{
    std::list<route_t> holder;
    if (build_route_record(holder, id) != 0)
        return nullptr;
    pthread_mutex_lock(&g_routes_lock);
    g_routes.splice(g_routes.begin(), holder);
    route_t *route = &g_routes.front();
    pthread_mutex_unlock(&g_routes_lock);
    return route;
}

registry_sandbox_t::registry_sandbox_t()
{
    snprintf(saved_config_path, sizeof saved_config_path, "%s", g_config_path);
    dir = make_temp_dir();
    EXPECT_FALSE(dir.empty());
    config_path = dir + "/routes.json";
    snprintf(g_config_path, sizeof g_config_path, "%s", config_path.c_str());
    discard_all_routes();
    reset_id_counters();
}

registry_sandbox_t::~registry_sandbox_t()
{
    discard_all_routes();
    reset_id_counters();
    snprintf(g_config_path, sizeof g_config_path, "%s", saved_config_path);
    remove_tree(dir);
}
