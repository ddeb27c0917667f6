// What an operator trusts the relay with: the route file, secrets, logs and refused input.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <srt/srt.h>

#include "http_client.h"

namespace
{

std::string day_file(const std::string &dir, time_t when)
{
    char day[16];
    struct tm parts;
    gmtime_r(&when, &parts);
    strftime(day, sizeof day, "%Y%m%d", &parts);
    return dir + "/mirevo-" + day + ".log";
}

using trust = http_relay_fixture;

// A trailing comma once made the relay start empty and save over every route.
TEST_F(trust, unreadable_route_file_is_copied_aside_before_any_save)
{
    const std::string stored =
        "{\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\","
        "\"url\":\"srt://:9000?passphrase=hidden-passphrase-1\",\"targets\":{}},}";
    restart_with(stored);
    ASSERT_TRUE(wait_relay_output(relay, "Unreadable configuration copied to ", 5000));
    EXPECT_EQ(get_body("/api/all_info"), "{}") << "start-up stays as it was";
    ASSERT_EQ(call("POST", "/api/routes/route").status, 200);

    std::string out = relay_stdout(relay);
    size_t at = out.find("Unreadable configuration copied to ") + 35;
    std::string copy = out.substr(at, out.find('\n', at) - at);
    EXPECT_EQ(copy.rfind(relay.config_path + ".bad-", 0), 0u) << copy;
    EXPECT_EQ(read_text_file(copy), stored);
    EXPECT_EQ(file_mode(copy), 0600);
    EXPECT_EQ(read_text_file(relay.config_path), get_body("/api/all_info"));
    EXPECT_EQ(out.find("hidden-passphrase-1"), std::string::npos);
}

// Passphrases show only in the route file: private when new, mode kept, never through a link.
TEST_F(trust, passphrases_stay_private_and_out_of_console_day_log_and_log_endpoint)
{
    const std::string secret = "hidden-passphrase-2";
    int source_port = free_udp_port();
    write_text_file(dir + "/victim", "untouched");
    ASSERT_EQ(symlink((dir + "/victim").c_str(), (relay.config_path + ".tmp").c_str()), 0);
    create_routes(1);
    EXPECT_EQ(file_mode(relay.config_path), 0600);
    ASSERT_EQ(chmod(relay.config_path.c_str(), 0640), 0);
    ASSERT_EQ(call("PUT", "/api/routes/100/source",
                   listen_query(source_port, "?passphrase=" + secret + "&pbkeylen=16"))
                  .body,
              "Ok");
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    ASSERT_EQ(
        call("PUT", "/api/routes/100/targets/1000",
             listen_query(free_udp_port(), "?streamid=k%3Dv&passphrase=" + secret + "&latency=80"))
            .body,
        "Ok");
    int caller = srt_open_caller(source_port, "", 3000, nullptr, 0, secret);
    EXPECT_NE(caller, -1);
    EXPECT_TRUE(wait_relay_output(relay, "New source", 5000));
    srt_close(caller);
    EXPECT_EQ(file_mode(relay.config_path), 0640);
    EXPECT_EQ(read_text_file(dir + "/victim"), "untouched");
    std::string first_run = relay_stdout(relay);
    stop_relay(relay);
    start();
    // The stored routes come back through the load's trace, which must be masked too.
    EXPECT_TRUE(wait_relay_output(relay, "=== load str:", 5000));

    std::string log = read_text_file(day_file(dir, time(nullptr)));
    EXPECT_NE(log.find("SrtTestListenCallback passphrase:****"), std::string::npos) << log;
    for (const std::string &text : {first_run, relay_stdout(relay), log, get_body("/api/logs")})
        EXPECT_EQ(text.find(secret), std::string::npos);
    EXPECT_NE(get_body("/api/all_info").find(secret), std::string::npos);
    EXPECT_EQ(file_mode(day_file(dir, time(nullptr))), 0640);
}

// Day files older than MIREVO_LOG_KEEP_DAYS go at start; nothing else does.
TEST_F(trust, old_day_logs_are_pruned_and_other_files_kept)
{
    time_t now = time(nullptr);
    const std::vector<std::string> old_days = {day_file(dir, now - 15 * 86400),
                                               day_file(dir, now - 400 * 86400)};
    const std::vector<std::string> kept = {day_file(dir, now - 13 * 86400), dir + "/notes.txt",
                                           dir + "/mirevo-2020.log",
                                           dir + "/mirevo-20200101.log.gz"};
    for (const std::string &keep_days : {"0", "14"}) {
        for (const std::string &path : old_days)
            write_text_file(path, "old\n");
        for (const std::string &path : kept)
            write_text_file(path, "kept\n");
        stop_relay(relay);
        start({{"MIREVO_LOG_KEEP_DAYS", keep_days}});
        for (const std::string &path : old_days)
            EXPECT_EQ(access(path.c_str(), F_OK) == 0, keep_days == "0") << keep_days << path;
        for (const std::string &path : kept)
            EXPECT_EQ(read_text_file(path), "kept\n") << path;
    }
}

} // namespace
