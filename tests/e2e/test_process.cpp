// The relay process: options, start-up, signals, restart, maintenance commands, install.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include <srt/srt.h>

#include "http_client.h"

using ProcessTest = http_relay_fixture;

// -h writes no file; bad options and missing inputs are announced without a crash.
TEST_F(ProcessTest, help_unknown_option_and_missing_inputs)
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
    const std::string key(112, 'k');
    child_process_t odd = spawn_process({MIREVO_BINARY, "-q", "stray"},
                                        {{"MIREVO_LOG_DIR", dir + "/missing"},
                                         {"MIREVO_API_KEY", key},
                                         {"MIREVO_CONFIG", dir + "/absent/config.json"},
                                         {"MIREVO_HTTP_PORT", std::to_string(port)}},
                                        dir + "/odd.out", dir + "/odd.err");
    EXPECT_TRUE(wait_http_ready(port, 10000));
    EXPECT_EQ(http_request(port, "GET", "/api/routes").body, "API key does not exist");
    EXPECT_EQ(http_request(port, "GET", api_target("/api/routes", key.substr(1))).body,
              "API key does not same with registered API key");
    usleep(1300 * 1000); // at least one statistics pass
    EXPECT_EQ(stop_process(odd, SIGTERM, 10000), 15);
    std::string out = read_text_file(dir + "/odd.out");
    EXPECT_NE(read_text_file(dir + "/odd.err").find("invalid option -- 'q'"), std::string::npos);
    for (const char *line : {"MIREVO_API_KEY is longer than 111 characters; it is ignored\n",
                             "No API key is set", "Error opening file.\n", "Received signal: 15\n"})
        EXPECT_EQ(count_occurrences(out, line), 1u) << line << " in " << out;
    EXPECT_EQ(out.find("[STATS"), std::string::npos) << out;
}

// A restart restores the API's routes; init deletes all; cleanup removes the file and exits 0.
TEST_F(ProcessTest, signal_restart_init_and_cleanup)
{
    std::string out = relay_stdout(relay);
    EXPECT_EQ(out.compare(0, 9, "========\n"), 0) << out;
    std::smatch day;
    ASSERT_TRUE(std::regex_search(out, day,
                                  std::regex("\x1b\\[2K\r\\[(\\d{4})\\.(\\d\\d)\\.(\\d\\d) "
                                             "[0-9:]{8}\\] Server was successfully")))
        << out;
    EXPECT_NE(read_text_file(dir + "/mirevo-" + day[1].str() + day[2].str() + day[3].str() + ".log")
                  .find("]  Server was successfully initialized\n"),
              std::string::npos);
    EXPECT_EQ(out.find("No API key is set"), std::string::npos);
    int source_port = free_udp_port();
    create_routes(3);
    const std::string url = url_encode("srt://127.0.0.1:" + std::to_string(source_port));
    expect_calls({
        {"PUT", "/api/routes/100/source", "enabled=1&mode=listen&url=" + url, 200, "Ok"},
        {"POST", "/api/routes/100/targets", "", 200, "{\"target_id\":1000}"},
        {"PUT", "/api/routes/100/targets/1000",
         "enabled=0&mode=push&url=srt%3A%2F%2Fh%3A9%3Flatency%3D5", 200, "Ok"},
        {"PUT", "/api/routes/102/source", "enabled=0&mode=rendezvous&url=srt://h:5", 200, "Ok"},
        {"DELETE", "/api/routes/101", "", 200, "Ok"},
    });
    json_t *before = parse_json_body(get_body("/api/all_info"));
    kill(relay.child.pid, SIGINT);
    ASSERT_TRUE(wait_process(relay.child, 10000));
    EXPECT_EQ(stop_relay(relay), SIGINT);
    EXPECT_EQ(count_occurrences(relay_stdout(relay), "Received signal: 2\n"), 1u);

    write_text_file(dir + "/systemctl", "#!/bin/sh\necho \"$@\" >> '" + dir + "/systemctl.args'\n");
    chmod((dir + "/systemctl").c_str(), 0755);
    start({{"PATH", dir + ":" + getenv("PATH")}});
    // The load puts each route in front, so they are listed in reverse until the next change.
    json_t *after = parse_json_body(get_body("/api/all_info"));
    EXPECT_TRUE(json_equal(before, after));
    json_decref(before);
    json_decref(after);
    int caller = srt_open_caller(source_port);
    EXPECT_NE(caller, -1) << "the source listens again";
    srt_close(caller);
    expect_calls({
        {"POST", "/api/routes/route", "", 200, "{\"route_id\":103}"},
        {"POST", "/api/server/restore", "", 200, ""},
        {"GET", "/api/server/init", "", 200, ""},
        {"PUT", "/api/server/cleanup", "", 200, ""},
        {"POST", "/api/Server/init", "", 200, ""},
        {"GET", "/api/routes", "", 200,
         "{\"103\":{\"enabled\":0},\"100\":{\"enabled\":1},\"102\":{\"enabled\":0}}"},
        {"POST", "/api/server/init", "", 200, ""},
        {"GET", "/api/all_info", "", 200, "{}"},
    });
    EXPECT_EQ(read_text_file(relay.config_path), "{}");
    EXPECT_EQ(count_occurrences(relay_stdout(relay), "\ninit\n"), 1u);
    EXPECT_EQ(count_occurrences(relay_stdout(relay), "\nrestore\n"), 1u);

    EXPECT_EQ(call("POST", "/api/server/cleanup").status, -1); // closed without a reply
    ASSERT_TRUE(wait_process(relay.child, 20000));
    EXPECT_EQ(relay.child.status, 0);
    EXPECT_NE(access(relay.config_path.c_str(), F_OK), 0);
    EXPECT_EQ(read_text_file(dir + "/systemctl.args"), "restart obrinaxserver\n");
    EXPECT_NE(relay_stdout(relay).find("\ncleanup\n"), std::string::npos);
}

// make install stages the binary, the hardened unit and a root-only key file, kept on rerun.
TEST(http_service_install, stages_binary_hardened_unit_and_key_file_under_destdir)
{
    std::string root = make_temp_dir(), keys = root + "/usr/local/etc/mirevo/keys.env", key_text;
    for (int run = 0; run < 2; run++) {
        child_process_t script =
            spawn_process({MIREVO_SOURCE_DIR "/scripts/install-service.sh"},
                          {{"DESTDIR", root}, {"MIREVO_BINARY", MIREVO_BINARY}},
                          root + "/install.out", root + "/install.err");
        if (!wait_process(script, 30000))
            stop_process(script, SIGKILL, 5000);
        ASSERT_EQ(script.status, 0) << read_text_file(root + "/install.err");
        if (run == 1)
            EXPECT_EQ(read_text_file(keys), key_text);
        key_text = read_text_file(keys);
    }
    EXPECT_EQ(file_mode(root + "/usr/local/bin/mirevo"), 0755u);
    EXPECT_EQ(read_text_file(root + "/usr/local/bin/mirevo"), read_text_file(MIREVO_BINARY));
    EXPECT_EQ(read_text_file(root + "/usr/local/etc/mirevo/mirevo.env"),
              read_text_file(MIREVO_SOURCE_DIR "/packaging/mirevo.env"));
    const std::string unit = root + "/etc/systemd/system/obrinaxserver.service";
    for (const char *line :
         {"ExecStart=/usr/local/bin/mirevo\n", "EnvironmentFile=-/usr/local/etc/mirevo/keys.env\n",
          "Restart=always\n", "User=mirevo\n", "LimitNOFILE=65536\n"})
        EXPECT_NE(read_text_file(unit).find(line), std::string::npos) << line;
    EXPECT_EQ(file_mode(keys), 0600u);
    EXPECT_TRUE(std::regex_match(key_text, std::regex("MIREVO_API_KEY=[0-9a-f]{48}\n")))
        << key_text;

    child_process_t rating =
        spawn_process({"systemd-analyze", "security", "--offline=true", "--threshold=20", unit}, {},
                      root + "/rating.out", root + "/rating.err");
    ASSERT_TRUE(wait_process(rating, 30000));
    EXPECT_EQ(rating.status, 0) << read_text_file(root + "/rating.out").substr(0, 4000);
    EXPECT_NE(read_text_file(root + "/rating.out").find("exposure level for obrinaxserver.service"),
              std::string::npos);
    remove_tree(root);
}
