// The relay process: help option, start-up lines, missing inputs and exit signals.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>

#include "http_client.h"

namespace
{

const char init_line[] = "Server was successfully initialized\n";

// Stops the relay by PID when the scope ends, also after a failed ASSERT.
struct relay_guard_t {
    relay_process_t &relay;
    ~relay_guard_t()
    {
        stop_process(relay.child, SIGKILL, 5000);
    }
};

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
    // The binary run with arguments, its state and output in dir.
    relay_process_t spawn(const std::vector<std::string> &argv, const std::string &dir) const
    {
        relay_process_t relay;
        relay.http_port = free_tcp_port();
        relay.child = spawn_process(argv,
                                    {{"MIREVO_LOG_DIR", dir},
                                     {"MIREVO_CONFIG", dir + "/mirevo-config.json"},
                                     {"MIREVO_HTTP_PORT", std::to_string(relay.http_port)},
                                     {"MIREVO_API_KEY", "test-key"}},
                                    dir_ + "/relay.out", dir_ + "/relay.err");
        return relay;
    }

    std::string dir_;
};

TEST_F(ProcessTest, help_prints_usage_and_exits_before_starting_anything)
{
    std::string state = run_dir("state");
    relay_process_t relay = spawn({MIREVO_BINARY, "-h"}, state);
    relay_guard_t guard{relay};
    ASSERT_TRUE(wait_process(relay.child, 10000));
    EXPECT_EQ(stop_relay(relay), 0);
    EXPECT_EQ(relay_stdout(relay), std::string("MIREVO:\nUsage: ") + MIREVO_BINARY + " [-h]\n");
    EXPECT_EQ(read_text_file(relay.child.err_path), "");
    EXPECT_EQ(rmdir(state.c_str()), 0) << "no log or configuration file may be written";
}

TEST_F(ProcessTest, unknown_option_is_reported_and_service_starts)
{
    relay_process_t relay = spawn({MIREVO_BINARY, "-q", "stray-argument"}, dir_);
    relay_guard_t guard{relay};
    EXPECT_TRUE(wait_relay_output(relay, init_line, 10000)) << relay_stdout(relay);
    std::string err = read_text_file(relay.child.err_path);
    EXPECT_NE(err.find("invalid option -- 'q'"), std::string::npos) << err;
    EXPECT_TRUE(wait_http_ready(relay.http_port, 10000));
    EXPECT_EQ(stop_relay(relay), 15);
}

// Each run also shows the start-up banner on the console and the entry in the day file.
TEST_F(ProcessTest, exit_signal_is_reported_and_becomes_exit_status)
{
    for (int signo : {SIGTERM, SIGINT}) {
        std::string line = "Received signal: " + std::to_string(signo) + "\n";
        SCOPED_TRACE(line);
        std::string dir = run_dir(std::to_string(signo));
        relay_process_t relay = start_relay(dir);
        relay_guard_t guard{relay};
        ASSERT_TRUE(wait_relay_output(relay, init_line, 10000)) << relay_stdout(relay);
        // The entry reaches the day file just after the console.
        ASSERT_TRUE(wait_http_ready(relay.http_port, 10000));
        kill(relay.child.pid, signo);
        ASSERT_TRUE(wait_process(relay.child, 10000));
        EXPECT_EQ(stop_relay(relay), signo);
        std::string out = relay_stdout(relay);
        EXPECT_EQ(count_occurrences(out, line), 1u) << out;
        EXPECT_EQ(out.find("No API key is set"), std::string::npos) << out;
        EXPECT_EQ(out.compare(0, 9, "========\n"), 0) << out;

        // The day file is named after the UTC date of the entry.
        std::smatch day;
        ASSERT_TRUE(std::regex_search(out, day,
                                      std::regex("\x1b\\[2K\r\\[(\\d{4})\\.(\\d\\d)\\.(\\d\\d) "
                                                 "[0-9:]{8}\\] Server was successfully")))
            << out;
        std::string log =
            read_text_file(dir + "/mirevo-" + day[1].str() + day[2].str() + day[3].str() + ".log");
        EXPECT_TRUE(std::regex_search(
            log, std::regex("^\\[[0-9. :]{19}\\]  Server was successfully initialized\n")))
            << log;
    }
}

// Also with a log folder that cannot be used: none of it costs a crash.
TEST_F(ProcessTest, missing_key_configuration_and_log_folder_give_an_announced_empty_service)
{
    write_text_file(dir_ + "/plain", "");
    for (const std::string &folder : {dir_ + "/plain/sub", dir_ + "/missing"}) {
        SCOPED_TRACE(folder);
        relay_process_t relay = start_relay(run_dir(folder.substr(folder.rfind('/') + 1)),
                                            {{"MIREVO_LOG_DIR", folder},
                                             {"MIREVO_API_KEY", ""},
                                             {"MIREVO_CONFIG", dir_ + "/absent/config.json"}});
        relay_guard_t guard{relay};
        ASSERT_TRUE(wait_relay_output(relay, "Error opening file.\n", 10000))
            << relay_stdout(relay);
        EXPECT_TRUE(wait_http_ready(relay.http_port, 10000)) << "HTTP API not served";
        // Give the statistics pass time to run at least once: no route, no line.
        usleep(1300 * 1000);
        EXPECT_FALSE(wait_process(relay.child, 0)) << "relay ended: " << relay.child.status;
        std::string out = relay_stdout(relay);
        EXPECT_EQ(out.find("[STATS"), std::string::npos) << out;
        EXPECT_EQ(count_occurrences(out, "No API key is set"), 1u) << out;
        EXPECT_EQ(count_occurrences(out, "MIREVO_API_KEY"), 1u) << out;
        EXPECT_EQ(stop_relay(relay), 15);
    }
}

} // namespace
