// What an orchestrator relies on: the route seed at first start and the health answer for probes.
#include <sys/stat.h>

#include <string>

#include "http_client.h"

using orchestration = http_relay_fixture;

// A missing route file is made from the seed; an existing one is kept; the seed is never written.
TEST_F(orchestration, seed_makes_a_missing_route_file_and_never_replaces_one)
{
    int source_port = free_udp_port();
    const std::string seed_path = dir + "/seed.json";
    const std::string seed = route_file("listen", srt_url("", source_port), "push",
                                        "srt://[::1]:" + std::to_string(free_udp_port()));
    write_text_file(seed_path, seed);
    chmod(seed_path.c_str(), 0444);
    stop_relay(relay); // it made no route file
    start({{"MIREVO_CONFIG_SEED", seed_path}});
    EXPECT_EQ(read_text_file(relay.config_path), seed);
    EXPECT_EQ(file_mode(relay.config_path), 0600u);
    EXPECT_NE(caller(source_port), -1) << "the seeded source listens";
    EXPECT_EQ(call("POST", "/api/routes/route").body, "{\"route_id\":101}");
    stop_relay(relay);
    start({{"MIREVO_CONFIG_SEED", seed_path}});
    EXPECT_EQ(get_body("/api/routes"), R"({"100":{"enabled":1},"101":{"enabled":0}})");
    EXPECT_EQ(read_text_file(seed_path), seed);
}

// An unusable seed ends the start with status 1 and one line, quoting no URL.
TEST_F(orchestration, unusable_seed_ends_the_start_with_one_line_naming_the_fault)
{
    const struct {
        const char *seed, *line;
    } cases[] = {
        {R"({"100":)", "cannot be used: not JSON: "},
        {R"({"100":{},"100":{}})", "not JSON: duplicate object key"},
        {R"({"0100":{}})", R"(route "0100": the name is not a route id)"},
        {R"({"100":{"enable":1}})", R"(route "100": unknown member "enable")"},
        {R"({"100":{"enabled":true}})", R"(route "100": "enabled" is not 0 or 1)"},
        {R"({"100":{"mode":"push"}})", R"("mode" is not listen, pull or rendezvous)"},
        {R"({"100":{"enabled":1}})", R"(route "100": enabled without a "url")"},
        {R"({"100":{"url":"srt://:70000?passphrase=secret-of-16ch"}})", "has no port from 1 to"},
        {R"({"100":{"mode":"pull","url":"srt://origin:9001"}})", "names no IP address to call"},
        {R"({"1":{"targets":{"1000":{}}},"2":{"targets":{"1000":{}}}})",
         R"(route "2", target "1000": the id is used twice)"},
        {"", "cannot be read: No such file or directory"},
    };
    stop_relay(relay);
    const std::string seed_path = dir + "/seed.json";
    for (const auto &c : cases) {
        unlink(seed_path.c_str());
        if (c.seed[0] != '\0')
            write_text_file(seed_path, c.seed);
        relay = start_relay(dir, {{"MIREVO_CONFIG_SEED", seed_path}});
        ASSERT_TRUE(wait_process(relay.child, 10000)) << c.seed;
        EXPECT_EQ(relay.child.status, 1) << c.seed;
        std::string out = relay_stdout(relay);
        std::string last = out.substr(out.find('\n', out.find("successfully initialized")) + 1);
        EXPECT_EQ(last.find("Route seed " + seed_path + " "), 0u) << out;
        EXPECT_NE(last.find(c.line), std::string::npos) << out;
        EXPECT_EQ(count_occurrences(last, "\n"), 1u) << out;
        EXPECT_EQ(out.find("secret"), std::string::npos) << out;
        EXPECT_NE(access(relay.config_path.c_str(), F_OK), 0) << c.seed;
    }
    // A sound seed that cannot be copied (the route file's folder is missing) ends it too.
    const std::string config = dir + "/missing/routes.json";
    write_text_file(seed_path, "{}");
    relay = start_relay(dir, {{"MIREVO_CONFIG_SEED", seed_path}, {"MIREVO_CONFIG", config}});
    ASSERT_TRUE(wait_process(relay.child, 10000));
    EXPECT_EQ(relay.child.status, 1);
    EXPECT_NE(relay_stdout(relay).find("cannot be copied to " + config + ": No such file"),
              std::string::npos);
}

// GET /healthz alone answers without a key, "ok" and nothing more.
TEST_F(orchestration, healthz_answers_without_a_key_and_nothing_near_it_does)
{
    const std::string refused = "555 API key does not exist";
    for (const auto &c : std::vector<std::vector<std::string>>{{"GET", "/healthz", "200 ok"},
                                                               {"POST", "/healthz", refused},
                                                               {"GET", "/healthz/", refused},
                                                               {"GET", "/api/healthz", refused}}) {
        http_response_t response = http_request(relay.http_port, c[0], c[1]);
        EXPECT_EQ(std::to_string(response.status) + " " + response.body, c[2]) << c[0] << c[1];
    }
}
