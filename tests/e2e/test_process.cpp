// The relay process: help option, start-up lines, log file, missing inputs and exit signals.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit.h"

#ifndef MIREVO_BINARY
#define MIREVO_BINARY "build/mirevo"
#endif

namespace
{

const char init_line[] = "Server was successfully initialized\n";

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    for (struct dirent *item = readdir(dir); item != nullptr; item = readdir(dir))
        if (strcmp(item->d_name, ".") != 0 && strcmp(item->d_name, "..") != 0)
            names.push_back(item->d_name);
    closedir(dir);
    return names;
}

// A TCP listener on 127.0.0.1; -1 when the port cannot be taken.
int hold_tcp_port(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool tcp_connects(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, (struct sockaddr *)&addr, sizeof addr) == 0;
    close(fd);
    return connected;
}

// Stops the child by PID when the scope ends, also after a failed ASSERT.
struct child_guard_t {
    child_process_t &child;
    ~child_guard_t()
    {
        stop_process(child, SIGKILL, 5000);
    }
};

// Each test runs in its own folder.
class ProcessTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override
    {
        remove_tree(dir_);
    }
    // A fresh folder per relay run, so no run reads another's output files.
    std::string run_dir(const std::string &name) const
    {
        std::string path = dir_ + "/" + name;
        mkdir(path.c_str(), 0755);
        return path;
    }
    std::map<std::string, std::string> relay_env(int http_port) const
    {
        return {{"MIREVO_LOG_DIR", dir_},
                {"MIREVO_CONFIG", dir_ + "/mirevo-config.json"},
                {"MIREVO_HTTP_PORT", std::to_string(http_port)},
                {"MIREVO_API_KEY", "test-key"}};
    }
    void expect_no_sanitizer_report(const child_process_t &child)
    {
        std::string err = read_text_file(child.err_path);
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
    }

    std::string dir_;
};

TEST_F(ProcessTest, help_prints_usage_and_exits_before_starting_anything)
{
    // The relay would need this port for its HTTP server; -h must not get that far.
    int http_port = free_tcp_port();
    int held = hold_tcp_port(http_port);
    ASSERT_NE(held, -1);

    child_process_t child = spawn_process({MIREVO_BINARY, "-h"}, relay_env(http_port),
                                          dir_ + "/help.out", dir_ + "/help.err");
    child_guard_t guard{child};
    ASSERT_TRUE(wait_process(child, 10000));
    close(held);

    EXPECT_EQ(child.status, 0);
    std::string out = read_text_file(child.out_path);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(out, match, std::regex("MIREVO:\nUsage: (\\S+) \\[([^\n]*)\\]\n")))
        << out;
    EXPECT_EQ(match[1].str(), MIREVO_BINARY);
    EXPECT_NE(match[2].str().find("-h"), std::string::npos);
    EXPECT_EQ(read_text_file(child.err_path), "");
    std::vector<std::string> files = list_dir(dir_);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"help.err", "help.out"}))
        << "no log or configuration file may be written";
}

TEST_F(ProcessTest, unknown_option_is_reported_and_service_starts)
{
    int http_port = free_tcp_port();
    child_process_t child =
        spawn_process({MIREVO_BINARY, "-q", "stray-argument"}, relay_env(http_port),
                      dir_ + "/relay.out", dir_ + "/relay.err");
    child_guard_t guard{child};
    EXPECT_TRUE(wait_until(
        [&] { return read_text_file(child.out_path).find(init_line) != std::string::npos; }, 10000))
        << read_text_file(child.out_path);
    EXPECT_NE(read_text_file(child.err_path).find("invalid option -- 'q'"), std::string::npos)
        << read_text_file(child.err_path);
    EXPECT_TRUE(wait_until([&] { return tcp_connects(http_port); }, 10000));
    EXPECT_EQ(stop_process(child, SIGTERM, 10000), 15);
    expect_no_sanitizer_report(child);
}

TEST_F(ProcessTest, exit_signal_is_reported_and_becomes_exit_status)
{
    struct case_t {
        int signo;
        const char *line;
    };
    const case_t cases[] = {{SIGTERM, "Received signal: 15\n"}, {SIGINT, "Received signal: 2\n"}};
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.line);
        relay_process_t relay = start_relay(run_dir(std::to_string(c.signo)));
        child_guard_t guard{relay.child};
        ASSERT_TRUE(wait_relay_output(relay, init_line, 10000)) << relay_stdout(relay);
        EXPECT_EQ(stop_process(relay.child, c.signo, 10000), c.signo);
        std::string out = relay_stdout(relay);
        EXPECT_EQ(count_occurrences(out, c.line), 1u) << out;
        expect_no_sanitizer_report(relay.child);
    }
}

TEST_F(ProcessTest, start_up_is_logged_to_console_and_day_file)
{
    relay_process_t relay = start_relay(dir_);
    child_guard_t guard{relay.child};
    ASSERT_TRUE(wait_relay_output(relay, init_line, 10000)) << relay_stdout(relay);
    std::string out = relay_stdout(relay);
    EXPECT_EQ(out.compare(0, 9, "========\n"), 0) << out;

    std::smatch console;
    ASSERT_TRUE(std::regex_search(
        out, console,
        std::regex("\x1b\\[2K\r\\[(\\d{4})\\.(\\d\\d)\\.(\\d\\d) \\d\\d:\\d\\d:\\d\\d\\] "
                   "Server was successfully initialized\n")))
        << out;

    // The day file is named after the UTC date of the entry.
    std::string day = console[1].str() + console[2].str() + console[3].str();
    std::string log = read_text_file(dir_ + "/mirevo-" + day + ".log");
    EXPECT_TRUE(
        std::regex_search(log, std::regex("^\\[\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d\\]  "
                                          "Server was successfully initialized\n")))
        << log;
    EXPECT_EQ(stop_relay(relay), 15);
}

TEST_F(ProcessTest, missing_api_key_is_announced_once)
{
    struct case_t {
        const char *key;
        size_t lines;
    };
    const case_t cases[] = {{"", 1}, {"test-key", 0}};
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.key);
        relay_process_t relay =
            start_relay(run_dir(c.lines == 1 ? "without" : "with"), {{"MIREVO_API_KEY", c.key}});
        child_guard_t guard{relay.child};
        ASSERT_TRUE(wait_relay_output(relay, init_line, 10000)) << relay_stdout(relay);
        std::string out = relay_stdout(relay);
        EXPECT_EQ(count_occurrences(out, "No API key is set"), c.lines) << out;
        EXPECT_EQ(count_occurrences(out, "MIREVO_API_KEY"), c.lines) << out;
        EXPECT_EQ(stop_relay(relay), 15);
    }
}

TEST_F(ProcessTest, missing_configuration_file_gives_empty_running_service)
{
    relay_process_t relay = start_relay(dir_, {{"MIREVO_CONFIG", dir_ + "/absent/config.json"}});
    child_guard_t guard{relay.child};
    ASSERT_TRUE(wait_relay_output(relay, init_line, 10000)) << relay_stdout(relay);
    EXPECT_TRUE(wait_relay_output(relay, "Error opening file.\n", 5000)) << relay_stdout(relay);
    EXPECT_TRUE(wait_until([&] { return tcp_connects(relay.http_port); }, 10000))
        << "HTTP API not served";
    // Give the statistics pass time to run at least once: no route, no line.
    usleep(1300 * 1000);
    EXPECT_FALSE(wait_process(relay.child, 0)) << "relay ended: " << relay.child.status;
    EXPECT_EQ(relay_stdout(relay).find("[STATS"), std::string::npos) << relay_stdout(relay);
    EXPECT_EQ(stop_relay(relay), 15);
}

TEST_F(ProcessTest, unusable_log_folder_costs_no_crash)
{
    write_text_file(dir_ + "/plain", "");
    const std::string folders[] = {dir_ + "/plain/sub", dir_ + "/missing"};
    for (size_t i = 0; i < 2; i++) {
        const std::string &folder = folders[i];
        SCOPED_TRACE(folder);
        relay_process_t relay =
            start_relay(run_dir("run" + std::to_string(i)), {{"MIREVO_LOG_DIR", folder}});
        child_guard_t guard{relay.child};
        ASSERT_TRUE(wait_relay_output(relay, init_line, 10000)) << relay_stdout(relay);
        EXPECT_TRUE(wait_until([&] { return tcp_connects(relay.http_port); }, 10000));
        EXPECT_FALSE(wait_process(relay.child, 0)) << "relay ended: " << relay.child.status;
        EXPECT_EQ(stop_relay(relay), 15);
    }
}

} // namespace
