// Maintenance commands over HTTP, the configuration round trip across a restart,
// and the service install script staged under a temporary root.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <srt/srt.h>

#include "http_client.h"

namespace
{

using http_maintenance = http_relay_fixture;

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// With no route the file is left alone; with routes it is saved empty.
TEST_F(http_maintenance, init_deletes_every_route)
{
    for (int routes : {0, 3}) {
        create_routes(routes);
        http_response_t response = call("POST", "/api/server/init");
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(response.body, "");
        EXPECT_EQ(response.content_type, "application/json");
        EXPECT_TRUE(wait_relay_output(relay, "\ninit\n", 5000));
        EXPECT_EQ(get_body("/api/all_info"), "{}");
        EXPECT_EQ(file_exists(relay.config_path), routes > 0) << routes;
    }
    EXPECT_EQ(read_text_file(relay.config_path), "{}");
}

TEST_F(http_maintenance, restore_and_undispatched_commands_change_nothing)
{
    create_routes(1);
    expect_calls({
        {"POST", "/api/server/restore", "", 200, ""},
        {"GET", "/api/server/init", "", 200, ""},
        {"POST", "/api/server/init/now", "", 200, ""},
        {"POST", "/api/server/reset", "", 200, ""},
        {"POST", "/api/server", "", 200, ""},
        {"PUT", "/api/server/cleanup", "", 200, ""},
        {"POST", "/api/Server/init", "", 200, ""},
    });
    EXPECT_EQ(get_body("/api/routes"), "{\"100\":{\"enabled\":0}}");
    std::string out = relay_stdout(relay);
    EXPECT_NE(out.find("\nrestore\n"), std::string::npos);
    EXPECT_EQ(out.find("\ninit\n"), std::string::npos);
}

// A stand-in systemctl first on PATH records its arguments.
TEST_F(http_maintenance, cleanup_removes_config_restarts_service_and_exits)
{
    std::string bin = dir + "/bin";
    mkdir(bin.c_str(), 0755);
    write_text_file(bin + "/systemctl", "#!/bin/sh\necho \"$@\" >> '" + dir + "/systemctl.args'\n");
    chmod((bin + "/systemctl").c_str(), 0755);
    const char *path = getenv("PATH");
    std::string search = bin + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    for (int routes : {2, 0}) { // 0: no configuration file exists
        SCOPED_TRACE(routes);
        stop_relay(relay);
        unlink(relay.config_path.c_str());
        unlink((dir + "/systemctl.args").c_str());
        start({{"PATH", search}});
        create_routes(routes);
        ASSERT_EQ(file_exists(relay.config_path), routes > 0);

        EXPECT_EQ(call("POST", "/api/server/cleanup").status, -1); // closed without a reply
        ASSERT_TRUE(wait_process(relay.child, 20000));
        EXPECT_EQ(relay.child.status, 0);
        EXPECT_FALSE(file_exists(relay.config_path));
        EXPECT_EQ(read_text_file(dir + "/systemctl.args"), "restart obrinaxserver\n");
        EXPECT_NE(relay_stdout(relay).find("\ncleanup\n"), std::string::npos);
    }
}

// Everything the API configured comes back from the file after a restart,
// with enabled listeners open again.
TEST_F(http_maintenance, restart_brings_every_route_back)
{
    int source_port = free_udp_port();
    std::string listen_url = url_encode("srt://127.0.0.1:" + std::to_string(source_port));
    create_routes(3);
    ASSERT_EQ(call("PUT", "/api/routes/100/source", "enabled=1&mode=listen&url=" + listen_url).body,
              "Ok");
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1001",
                   "enabled=0&mode=push&url=srt%3A%2F%2F127.0.0.1%3A9%3Fstreamid%3Dx")
                  .body,
              "Ok");
    ASSERT_EQ(call("PUT", "/api/routes/102/source", "enabled=0&mode=rendezvous&url=srt://h:5").body,
              "Ok");
    ASSERT_EQ(call("DELETE", "/api/routes/101").body, "Ok");
    json_t *before = parse_json_body(get_body("/api/all_info"));

    EXPECT_EQ(stop_relay(relay), 15);
    start();
    // Same content; the load inserts each route at the front, so the order of
    // the routes is reversed until the next change.
    json_t *after = parse_json_body(get_body("/api/all_info"));
    EXPECT_TRUE(json_equal(before, after));
    json_decref(before);
    json_decref(after);
    EXPECT_EQ(get_body("/api/routes"), "{\"100\":{\"enabled\":1},\"102\":{\"enabled\":0}}");
    int caller = srt_open_caller(source_port);
    EXPECT_GE(caller, 0);
    EXPECT_TRUE(wait_until([&] { return get_body("/api/active_routes") == "[100]"; }, 15000));
    if (caller >= 0)
        srt_close(caller);
    // New ids continue after the ones stored.
    EXPECT_EQ(call("POST", "/api/routes/route").body, "{\"route_id\":103}");
}

// Runs the script with DESTDIR and the given binary; returns its exit status.
int run_install(const std::string &root, const std::string &out)
{
    child_process_t script =
        spawn_process({std::string(MIREVO_SOURCE_DIR) + "/scripts/install-service.sh"},
                      {{"DESTDIR", root}, {"MIREVO_BINARY", MIREVO_BINARY}}, out, out + ".err");
    if (!wait_process(script, 30000))
        stop_process(script, SIGKILL, 5000);
    return script.status;
}

mode_t file_mode(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(http_service_install, stages_binary_unit_and_env_file_under_destdir)
{
    std::string root = make_temp_dir();
    ASSERT_FALSE(root.empty());
    ASSERT_EQ(run_install(root, root + "/first.out"), 0) << read_text_file(root + "/first.out.err");

    std::string binary = root + "/usr/local/bin/mirevo";
    std::string env = root + "/usr/local/etc/mirevo.env";
    EXPECT_EQ(file_mode(binary), 0755u);
    EXPECT_EQ(read_text_file(binary), read_text_file(MIREVO_BINARY));
    std::string unit = read_text_file(root + "/etc/systemd/system/obrinaxserver.service");
    for (const char *line :
         {"ExecStart=/usr/local/bin/mirevo\n", "EnvironmentFile=-/usr/local/etc/mirevo.env\n",
          "Restart=on-failure\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;

    EXPECT_EQ(file_mode(env), 0600u);
    std::string env_text = read_text_file(env);
    EXPECT_TRUE(std::regex_match(env_text, std::regex("MIREVO_API_KEY=[0-9a-f]{48}\n")))
        << env_text;

    // A second run keeps the key that clients already use.
    ASSERT_EQ(run_install(root, root + "/second.out"), 0);
    EXPECT_EQ(read_text_file(env), env_text);
    remove_tree(root);
}

} // namespace
