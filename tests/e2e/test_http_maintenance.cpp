// Maintenance commands over HTTP, and the configuration round trip across a restart.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <srt/srt.h>

#include "http_client.h"

namespace {

class http_maintenance : public http_relay_fixture {
  protected:
    void create_routes(int count) {
        for (int i = 0; i < count; i++)
            ASSERT_EQ(call("POST", "/api/routes/route").status, 200);
    }
    bool config_exists() {
        return access(relay.config_path.c_str(), F_OK) == 0;
    }
};

TEST_F(http_maintenance, init_deletes_every_route) {
    create_routes(3);
    http_response_t response = call("POST", "/api/server/init");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "");
    EXPECT_EQ(response.content_type, "application/json");
    EXPECT_EQ(get_body("/api/all_info"), "{}");
    EXPECT_EQ(read_text_file(relay.config_path), "{}");
    std::string out = relay_stdout(relay);
    EXPECT_NE(out.find("\ninit\n"), std::string::npos);
}

TEST_F(http_maintenance, init_without_routes_leaves_the_file_alone) {
    ASSERT_FALSE(config_exists());
    http_response_t response = call("POST", "/api/server/init");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "");
    EXPECT_TRUE(wait_relay_output(relay, "\ninit\n", 5000));
    EXPECT_FALSE(config_exists());
}

TEST_F(http_maintenance, restore_and_undispatched_commands_change_nothing) {
    create_routes(1);
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"POST", "/api/server/restore"},  {"GET", "/api/server/init"},
        {"POST", "/api/server/init/now"}, {"POST", "/api/server/reset"},
        {"POST", "/api/server"},          {"PUT", "/api/server/cleanup"},
        {"POST", "/api/Server/init"},
    };
    for (const auto &request : requests) {
        http_response_t response = call(request.first, request.second);
        EXPECT_EQ(response.status, 200) << request.second;
        EXPECT_EQ(response.body, "") << request.second;
    }
    EXPECT_EQ(get_body("/api/routes"), "{\"100\":{\"enabled\":0}}");
    std::string out = relay_stdout(relay);
    EXPECT_NE(out.find("\nrestore\n"), std::string::npos);
    EXPECT_EQ(out.find("\ninit\n"), std::string::npos);
}

// A stand-in systemctl first on PATH records its arguments.
std::string install_fake_systemctl(const std::string &dir) {
    std::string bin = dir + "/bin";
    mkdir(bin.c_str(), 0755);
    std::string script = bin + "/systemctl";
    write_text_file(script, "#!/bin/sh\necho \"$@\" >> '" + dir + "/systemctl.args'\n");
    chmod(script.c_str(), 0755);
    const char *path = getenv("PATH");
    return bin + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

struct cleanup_case_t {
    const char *name;
    int routes; // 0: no configuration file exists
};

TEST_F(http_maintenance, cleanup_removes_config_restarts_service_and_exits) {
    const std::vector<cleanup_case_t> cases = {{"with a configuration", 2},
                                               {"without a configuration file", 0}};
    std::string path = install_fake_systemctl(dir);
    for (const cleanup_case_t &test : cases) {
        stop_relay(relay);
        unlink(relay.config_path.c_str());
        unlink((dir + "/systemctl.args").c_str());
        start({{"PATH", path}});
        create_routes(test.routes);
        ASSERT_EQ(config_exists(), test.routes > 0) << test.name;

        http_response_t response = call("POST", "/api/server/cleanup");
        EXPECT_EQ(response.status, -1) << test.name; // closed without a reply
        ASSERT_TRUE(wait_process(relay.child, 20000)) << test.name;
        EXPECT_EQ(relay.child.status, 0) << test.name;
        EXPECT_FALSE(config_exists()) << test.name;
        EXPECT_EQ(read_text_file(dir + "/systemctl.args"), "restart obrinaxserver\n") << test.name;
        EXPECT_NE(relay_stdout(relay).find("\ncleanup\n"), std::string::npos) << test.name;
    }
}

// Everything the API configured comes back from the file after a restart,
// with enabled listeners open again.
TEST_F(http_maintenance, restart_brings_every_route_back) {
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
    std::string before = get_body("/api/all_info");

    EXPECT_EQ(stop_relay(relay), 15);
    start();
    // Same content; the load inserts each route at the front, so the order of
    // the routes is reversed until the next change.
    json_t *old_document = parse_json_body(before);
    json_t *new_document = parse_json_body(get_body("/api/all_info"));
    EXPECT_TRUE(json_equal(old_document, new_document));
    json_decref(old_document);
    json_decref(new_document);
    EXPECT_EQ(get_body("/api/routes"), "{\"100\":{\"enabled\":1},\"102\":{\"enabled\":0}}");
    int caller = srt_open_caller(source_port);
    EXPECT_GE(caller, 0);
    EXPECT_TRUE(wait_until([&] { return get_body("/api/active_routes") == "[100]"; }, 15000));
    if (caller >= 0)
        srt_close(caller);
    // New ids continue after the ones stored.
    EXPECT_EQ(call("POST", "/api/routes/route").body, "{\"route_id\":103}");
}

} // namespace
