// What an orchestrator relies on: the route seed at first start and the health answer for probes.
#include <signal.h>
#include <sys/stat.h>

#include <string>

#include "http_client.h"

class orchestration : public http_relay_fixture
{
  protected:
    orchestration()
    {
        start_at_set_up = false;
    }
};

// A missing route file is made from the seed (private, loaded at once); one that exists, as
// the API left it, is kept over the seed on the next start; the seed is never written.
TEST_F(orchestration, seed_makes_a_missing_route_file_and_never_replaces_one)
{
    int source_port = free_udp_port();
    const std::string seed_path = dir + "/seed.json";
    const std::string seed =
        route_file("listen", srt_url("", source_port), "listen", srt_url("", free_udp_port()));
    write_text_file(seed_path, seed);
    chmod(seed_path.c_str(), 0444);
    start({{"MIREVO_CONFIG_SEED", seed_path}});
    EXPECT_EQ(read_text_file(relay.config_path), seed);
    EXPECT_EQ(file_mode(relay.config_path), 0600u);
    EXPECT_NE(caller(source_port), -1) << "the seeded source listens";
    EXPECT_EQ(call("POST", "/api/routes/route").body, "{\"route_id\":101}");

    stop_relay(relay);
    start({{"MIREVO_CONFIG_SEED", seed_path}});
    EXPECT_EQ(get_body("/api/routes"), "{\"100\":{\"enabled\":1},\"101\":{\"enabled\":0}}");
    EXPECT_EQ(read_text_file(seed_path), seed);
    EXPECT_EQ(file_mode(seed_path), 0444u);
    EXPECT_EQ(
        count_occurrences(relay_stdout(relay), "exists; the seed " + seed_path + " is not used\n"),
        1u);
}

// A seed that cannot be used ends the start with status 1 and one line saying why; no route
// file is left behind. The passphrase a parse error quotes is masked.
TEST_F(orchestration, unusable_seed_ends_the_start_with_one_line_and_status_1)
{
    const struct {
        std::string seed, config, line;
    } cases[] = {
        {"{\"100\":{\"mode\":\"pull\",\"url\":\"srt://origin:9001\"}}", "",
         "cannot be used: route "},
        {"{\"100\":{\"url\":\"srt://:9?passphrase=secret-of-16ch", "",
         "cannot be used: not JSON: "},
        {"-", "", "cannot be read: No such file or directory"},
        {"{}", "/missing/mirevo-config.json", "cannot be copied to "},
    };
    for (const auto &c : cases) {
        const std::string seed_path = dir + "/seed.json";
        unlink(seed_path.c_str());
        if (c.seed != "-")
            write_text_file(seed_path, c.seed);
        std::string config = dir + (c.config.empty() ? "/mirevo-config.json" : c.config);
        relay = start_relay(dir, {{"MIREVO_CONFIG_SEED", seed_path}, {"MIREVO_CONFIG", config}});
        ASSERT_TRUE(wait_process(relay.child, 10000)) << c.line;
        EXPECT_EQ(relay.child.status, 1) << c.line;
        std::string out = relay_stdout(relay);
        std::string last = out.substr(out.find('\n', out.find("successfully initialized")) + 1);
        EXPECT_EQ(last.find("Route seed " + seed_path + " " + c.line), 0u) << out;
        EXPECT_EQ(count_occurrences(last, "\n"), 1u) << out;
        EXPECT_EQ(out.find("secret-of-16ch"), std::string::npos) << out;
        EXPECT_NE(access(config.c_str(), F_OK), 0) << out;
    }
}

// GET /healthz alone answers without a key, "ok" and nothing more; every other method and
// path near it still asks for the key.
TEST_F(orchestration, healthz_answers_without_a_key_and_nothing_else_does)
{
    start();
    const struct {
        const char *method, *target;
        int status;
        const char *body;
    } cases[] = {
        {"GET", "/healthz", 200, "ok"},
        {"GET", "/healthz?api_key=wrong", 200, "ok"},
        {"POST", "/healthz", 555, "API key does not exist"},
        {"GET", "/healthz/", 555, "API key does not exist"},
        {"GET", "/healthzz", 555, "API key does not exist"},
        {"GET", "/api/healthz", 555, "API key does not exist"},
        {"GET", "/api/routes", 555, "API key does not exist"},
    };
    for (const auto &c : cases) {
        http_response_t response = http_request(relay.http_port, c.method, c.target);
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.target;
        EXPECT_EQ(response.body, c.body) << c.method << " " << c.target;
    }
    EXPECT_EQ(http_request(relay.http_port, "GET", "/healthz").content_type,
              "text/plain; charset=utf-8");
}
