// The relay process: help option, start-up lines, missing inputs and exit signals.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "http_client.h"

namespace
{

using ProcessTest = http_relay_fixture;

// -h prints the usage and writes no file; an unknown option is reported and the relay
// serves all the same (the fixture's relay runs with an argument the test adds).
TEST_F(ProcessTest, help_exits_at_once_and_an_unknown_option_is_only_reported)
{
    std::string empty = dir + "/empty";
    mkdir(empty.c_str(), 0755);
    child_process_t help = spawn_process({MIREVO_BINARY, "-h"}, {{"MIREVO_LOG_DIR", empty}},
                                         dir + "/help.out", dir + "/help.err");
    ASSERT_TRUE(wait_process(help, 10000));
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(read_text_file(dir + "/help.out"), "MIREVO:\nUsage: " MIREVO_BINARY " [-h]\n");
    EXPECT_EQ(rmdir(empty.c_str()), 0) << "no log or configuration file may be written";

    int port = free_tcp_port();
    child_process_t odd = spawn_process({MIREVO_BINARY, "-q", "stray"},
                                        {{"MIREVO_LOG_DIR", dir},
                                         {"MIREVO_CONFIG", dir + "/odd.json"},
                                         {"MIREVO_HTTP_PORT", std::to_string(port)}},
                                        dir + "/odd.out", dir + "/odd.err");
    EXPECT_TRUE(wait_http_ready(port, 10000));
    EXPECT_NE(read_text_file(dir + "/odd.err").find("invalid option -- 'q'"), std::string::npos);
    EXPECT_EQ(stop_process(odd, SIGTERM, 10000), 15);
}

// Each run shows the banner first, then the entry that also goes to the day file named
// after its UTC date.
TEST_F(ProcessTest, exit_signal_is_reported_and_becomes_exit_status)
{
    for (int signo : {SIGINT, SIGTERM}) {
        if (signo == SIGTERM)
            start();
        std::string out = relay_stdout(relay);
        EXPECT_EQ(out.compare(0, 9, "========\n"), 0) << out;
        std::smatch day;
        ASSERT_TRUE(std::regex_search(out, day,
                                      std::regex("\x1b\\[2K\r\\[(\\d{4})\\.(\\d\\d)\\.(\\d\\d) "
                                                 "[0-9:]{8}\\] Server was successfully")))
            << out;
        EXPECT_NE(
            read_text_file(dir + "/mirevo-" + day[1].str() + day[2].str() + day[3].str() + ".log")
                .find("]  Server was successfully initialized\n"),
            std::string::npos);
        EXPECT_EQ(out.find("No API key is set"), std::string::npos);
        kill(relay.child.pid, signo);
        ASSERT_TRUE(wait_process(relay.child, 10000));
        EXPECT_EQ(stop_relay(relay), signo);
        EXPECT_EQ(count_occurrences(relay_stdout(relay),
                                    "Received signal: " + std::to_string(signo) + "\n"),
                  1u);
    }
}

// No key, no route file and a log folder that is missing: all announced, none a crash.
TEST_F(ProcessTest, missing_key_configuration_and_log_folder_give_an_announced_empty_service)
{
    stop_relay(relay);
    start({{"MIREVO_LOG_DIR", dir + "/missing"},
           {"MIREVO_API_KEY", ""},
           {"MIREVO_CONFIG", dir + "/absent/config.json"}});
    EXPECT_TRUE(wait_relay_output(relay, "Error opening file.\n", 10000));
    // Give the statistics pass time to run at least once: no route, no line.
    usleep(1300 * 1000);
    EXPECT_FALSE(wait_process(relay.child, 0)) << "relay ended: " << relay.child.status;
    std::string out = relay_stdout(relay);
    EXPECT_EQ(out.find("[STATS"), std::string::npos) << out;
    EXPECT_EQ(count_occurrences(out, "No API key is set"), 1u) << out;
    EXPECT_EQ(count_occurrences(out, "MIREVO_API_KEY"), 1u) << out;
    EXPECT_EQ(get_body("/api/routes"), "API key does not exist");
}

} // namespace
