// Tests of the route document and the configuration file: exact bytes, load, ids, bad input.
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "routing/route_store.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "testkit.h"

// The text with every ' turned into ", to write JSON documents legibly.
static std::string J(std::string text)
{
    std::replace(text.begin(), text.end(), '\'', '"');
    return text;
}

static void configure(endpoint_url_t &endpoint, int enabled, conn_mode_t mode,
                      const std::string &url)
{
    endpoint.enabled = (uint8_t)enabled;
    endpoint.mode = mode;
    snprintf(endpoint.url, sizeof endpoint.url, "%s", url.c_str());
}

class route_document : public ::testing::Test
{
  protected:
    registry_sandbox_t sandbox_;
    const std::string config_path_ = sandbox_.config_path;

    std::string save_and_read(void)
    {
        pthread_mutex_lock(&g_routes_lock);
        save_routes_config();
        pthread_mutex_unlock(&g_routes_lock);
        return read_text_file(config_path_);
    }
    // Loads the configuration file (after writing text to it unless empty); returns the print.
    std::string load(const std::string &text = "")
    {
        if (!text.empty())
            write_text_file(config_path_, text);
        return capture_stdout(load_routes_config);
    }
};

TEST_F(route_document, newest_route_is_written_first_with_listen_defaults_and_no_line_end)
{
    EXPECT_EQ(save_and_read(), "{}");
    ASSERT_EQ(create_route(), 100);
    EXPECT_EQ(read_text_file(config_path_),
              J("{'100':{'source_id':100,'enabled':0,'mode':'listen','url':'','targets':{}}}"));
    ASSERT_EQ(create_route(), 101);
    ASSERT_EQ(add_target(100), 1000);
    ASSERT_EQ(add_target(100), 1001);
    ASSERT_EQ(add_target(101), 1002);
    const std::string target = "{'enabled':0,'mode':'listen','url':''}";
    EXPECT_EQ(
        read_text_file(config_path_),
        J("{'101':{'source_id':101,'enabled':0,'mode':'listen','url':'','targets':{'1002':" +
          target +
          "}},'100':{'source_id':100,'enabled':0,'mode':'listen','url':'','targets':{'1000':" +
          target + ",'1001':" + target + "}}}"));
}

TEST_F(route_document, modes_are_named_per_side_and_unknown_codes_are_left_out)
{
    const struct {
        conn_mode_t mode;
        const char *source_member, *target_member;
    } cases[] = {{CONN_MODE_LISTEN, "'mode':'listen',", "'mode':'listen',"},
                 {CONN_MODE_CALLER, "'mode':'pull',", "'mode':'push',"},
                 {CONN_MODE_RENDEZVOUS, "'mode':'rendezvous',", "'mode':'rendezvous',"},
                 {7, "", ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        route_t *route = insert_idle_route(100);
        ASSERT_NE(route, nullptr);
        configure(route->source, 1, c.mode, "srt://127.0.0.1:9000");
        // A quote is escaped, a slash and non-ASCII UTF-8 are written as they are.
        configure(append_target(*route, 1000).endpoint, 1, c.mode,
                  "srt://127.0.0.1:9001?streamid=caf\xc3\xa9\"q");
        EXPECT_EQ(save_and_read(),
                  J(std::string("{'100':{'source_id':100,'enabled':1,") + c.source_member +
                    "'url':'srt://127.0.0.1:9000','targets':{'1000':{'enabled':1," +
                    c.target_member + "'url':'srt://127.0.0.1:9001?streamid=caf\xc3\xa9\\'q'}}}}"));
        discard_all_routes();
    }
    // A URL that is not UTF-8 leaves out only its own member.
    route_t *route = insert_idle_route(100);
    ASSERT_NE(route, nullptr);
    configure(append_target(*route, 1000).endpoint, 0, CONN_MODE_LISTEN,
              "srt://127.0.0.1:9001?streamid=\xff\xfe");
    EXPECT_EQ(save_and_read(), J("{'100':{'source_id':100,'enabled':0,'mode':'listen','url':'',"
                                 "'targets':{'1000':{'enabled':0,'mode':'listen'}}}}"));
}

TEST_F(route_document, load_lists_routes_in_reverse_and_save_reproduces_every_setting)
{
    std::string live =
        "'300':{'source_id':300,'enabled':1,'mode':'listen','url':'srt://127.0.0.1:" +
        std::to_string(free_udp_port()) +
        "','targets':{'2000':{'enabled':1,'mode':'listen','url':'srt://127.0.0.1:" +
        std::to_string(free_udp_port()) + "'}}}";
    std::string idle = "'200':{'source_id':200,'enabled':0,'mode':'pull','url':'srt://127.0.0.1:"
                       "5000?streamid=a','targets':{'3000':{'enabled':1,'mode':'push','url':"
                       "'srt://127.0.0.1:5001'},'1500':{'enabled':0,'mode':'rendezvous','url':"
                       "'srt://127.0.0.1:5002?port=5003'}}}";
    std::string bare =
        "'250':{'source_id':250,'enabled':0,'mode':'rendezvous','url':'','targets':{}}";
    const std::string stored = J("{" + live + "," + idle + "," + bare + "}");
    load(stored);
    std::vector<int32_t> ids;
    for (const route_t &route : g_routes)
        ids.push_back(route.id);
    EXPECT_EQ(ids, (std::vector<int32_t>{250, 200, 300}));
    EXPECT_EQ(read_text_file(config_path_), stored) << "the load itself never rewrites the file";
    EXPECT_EQ(save_and_read(), J("{" + bare + "," + idle + "," + live + "}"));
}

TEST_F(route_document, load_moves_id_counters_past_the_largest_ids_read)
{
    const struct {
        const char *name;
        int32_t route_counter_before, target_counter_before; // largest ids used; -1: untouched
        const char *document;
        int32_t next_route_id, next_target_id;
    } cases[] = {
        {"route members out of order", -1, -1, "{'100':{},'105':{},'101':{}}", 106, 1000},
        {"target ids of all routes", -1, -1,
         "{'100':{'targets':{'1003':{},'1200':{}}},'101':{'targets':{'1001':{}}}}", 102, 1201},
        {"a non-object target member still counts", -1, -1, "{'100':{'targets':{'1500':7}}}", 101,
         1501},
        {"a non-object route member does not count", -1, -1, "{'100':{},'900':'x'}", 101, 1000},
        {"the largest stored id sets the route counter, even lower", 499, 4999, "{'120':{}}", 121,
         5000},
        {"no member keeps both counters", 499, 4999, "{}", 500, 5000}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        discard_routes();
        reset_id_counters();
        advance_id_counters(c.route_counter_before, c.target_counter_before);
        load(J(c.document));
        pthread_mutex_lock(&g_routes_lock);
        int32_t route_id = allocate_route_id();
        int32_t target_id = allocate_target_id();
        pthread_mutex_unlock(&g_routes_lock);
        EXPECT_EQ(route_id, c.next_route_id);
        EXPECT_EQ(target_id, c.next_target_id);
    }
}

TEST_F(route_document, malformed_file_prints_its_error_and_keeps_the_registry)
{
    // Jansson's own texts; a root of another type is valid JSON with no error text,
    // but Jansson refuses a bare string as a root by itself.
    json_error_t error;
    ASSERT_EQ(json_loads("{\"100\":", 0, &error), nullptr);
    std::string truncated_error = std::string("Error parsing JSON: ") + error.text + "\n";
    ASSERT_EQ(json_loads("\"100\"", 0, &error), nullptr);
    std::string string_error = std::string("Error parsing JSON: ") + error.text + "\n";

    const struct {
        const char *text; // nullptr: no file; "/": a folder in its place
        std::string expected;
    } cases[] = {{nullptr, "Error opening file.\n"},
                 {"/", "Error opening file.\n"},
                 {"{'100':", truncated_error},
                 {"[{'100':{}}]", "Error parsing JSON: \n"},
                 {"'100'", string_error}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "no file");
        ASSERT_NE(insert_idle_route(555), nullptr);
        remove_tree(config_path_);
        if (c.text != nullptr && std::string(c.text) == "/")
            ASSERT_EQ(mkdir(config_path_.c_str(), 0755), 0);
        else if (c.text != nullptr)
            write_text_file(config_path_, J(c.text));
        std::string printed = load();
        EXPECT_EQ(printed.substr(0, c.expected.size()), c.expected);
        // What cannot be parsed is copied aside byte for byte before any save.
        size_t at = printed.find("Unreadable configuration copied to ");
        if (c.expected.rfind("Error parsing", 0) == 0 && at != std::string::npos) {
            std::string copy = printed.substr(at + 35);
            copy.erase(copy.find('\n'));
            EXPECT_EQ(read_text_file(copy), J(c.text));
        } else {
            EXPECT_EQ(printed, c.expected);
        }
        ASSERT_EQ(g_routes.size(), 1u);
        EXPECT_EQ(g_routes.front().id, 555);
        discard_all_routes();
    }
    // Members that are not objects are skipped; the others load.
    load(J("{'100':'text','101':5,'102':{},'103':[1],'104':null}"));
    ASSERT_EQ(g_routes.size(), 1u);
    EXPECT_EQ(g_routes.front().id, 102);
}

TEST_F(route_document, enabled_and_mode_read_leniently_per_side)
{
    const struct {
        bool target;
        const char *members; // "enabled" and "mode" as stored
        uint8_t enabled;
        conn_mode_t mode;
    } cases[] = {// Every source here stays disabled, so no socket is opened.
                 {false, "'enabled':true,'mode':'listen'", 0, CONN_MODE_LISTEN},
                 {false, "'enabled':'1','mode':'pull'", 0, CONN_MODE_CALLER},
                 {false, "'enabled':0,'mode':'Pull'", 0, CONN_MODE_LISTEN},
                 {false, "'enabled':0,'mode':'push'", 0, CONN_MODE_LISTEN},
                 {false, "'enabled':0,'mode':1", 0, CONN_MODE_LISTEN},
                 {false, "'url':''", 0, CONN_MODE_LISTEN},
                 {true, "'enabled':-3,'mode':'push'", 1, CONN_MODE_CALLER},
                 {true, "'enabled':true,'mode':'rendezvous'", 0, CONN_MODE_RENDEZVOUS},
                 {true, "'enabled':1.0,'mode':'PUSH'", 0, CONN_MODE_LISTEN},
                 {true, "'enabled':1,'mode':'caller'", 1, CONN_MODE_LISTEN}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.members);
        discard_routes();
        load(J(c.target
                   ? std::string("{'100':{'enabled':0,'targets':{'1000':{") + c.members + "}}}}"
                   : std::string("{'100':{") + c.members + ",'targets':{}}}"));
        ASSERT_EQ(g_routes.size(), 1u);
        route_t &route = g_routes.front();
        ASSERT_EQ(route.targets.size(), c.target ? 1u : 0u);
        const endpoint_url_t &endpoint = c.target ? route.targets.front().endpoint : route.source;
        EXPECT_EQ(endpoint.enabled, c.enabled);
        EXPECT_EQ(endpoint.mode, c.mode);
        // With its source off a route opens no socket, not even for an enabled
        // target, yet its threads run.
        EXPECT_EQ(route.basesockin, -1);
        if (c.target)
            EXPECT_EQ(route.targets.front().basesockout, -1);
        EXPECT_EQ(route.running, 1);
        EXPECT_FALSE(route_threads_idle(route));
    }
}

// The stored text is cut to its field and saved that way; the settings come from the
// whole URL.
TEST_F(route_document, url_longer_than_its_field_is_cut_but_parsed_whole)
{
    std::string url = "srt://127.0.0.1:4300?streamid=" + std::string(280, 'x') + "&latency=77";
    load(J("{'100':{'enabled':0,'mode':'pull','url':'" + url + "'}}"));
    ASSERT_EQ(g_routes.size(), 1u);
    EXPECT_EQ(std::string(g_routes.front().source.url), url.substr(0, ENDPOINT_URL_SIZE - 1));
    EXPECT_EQ(g_routes.front().source.port, 4300);
    EXPECT_EQ(g_routes.front().source.latency, 77);
    EXPECT_NE(save_and_read().find("\"" + url.substr(0, ENDPOINT_URL_SIZE - 1) + "\""),
              std::string::npos);
}

// Two hundred routes are saved again and again by a child, with the first route's URL
// alternating, and the child is killed at random moments.
TEST_F(route_document, kill_during_save_leaves_old_or_new_document)
{
    for (int32_t id = 100; id < 300; id++) {
        route_t *route = insert_idle_route(id);
        ASSERT_NE(route, nullptr);
        configure(route->source, 0, CONN_MODE_CALLER,
                  "srt://127.0.0.1:" + std::to_string(10000 + id) + "?streamid=route-" +
                      std::to_string(id) + "&latency=200");
        for (int32_t n = 0; n < 2; n++)
            configure(append_target(*route, id * 10 + n).endpoint, 0, CONN_MODE_CALLER,
                      "srt://127.0.0.1:" + std::to_string(20000 + n) + "?streamid=target");
    }
    endpoint_url_t &first = g_routes.front().source;
    const std::string url_a = "srt://127.0.0.1:7000?streamid=first";
    const std::string url_b = "srt://127.0.0.1:7001?streamid=second";
    configure(first, 0, CONN_MODE_CALLER, url_b);
    const std::string text_b = save_and_read();
    configure(first, 0, CONN_MODE_CALLER, url_a);
    const std::string text_a = save_and_read();
    ASSERT_GT(text_a.size(), 40000u);

    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int seen_b = 0;
    for (int round = 0; round < 30; round++) {
        int done[2];
        ASSERT_EQ(pipe(done), 0);
        fflush(stdout);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) { // one byte on the pipe after each save; the alarm bounds a lost child
            alarm(20);
            for (unsigned n = 0;; n++) {
                configure(first, 0, CONN_MODE_CALLER, n % 2 == 0 ? url_b : url_a);
                pthread_mutex_lock(&g_routes_lock);
                save_routes_config();
                pthread_mutex_unlock(&g_routes_lock);
                if (write(done[1], "s", 1) != 1)
                    _exit(1);
            }
        }
        close(done[1]);
        // Every other round may kill before the first save ends; the others let one
        // save finish and kill somewhere in the following ones.
        struct pollfd ready = {done[0], POLLIN, 0};
        char byte;
        bool saved_once =
            round % 2 == 1 && poll(&ready, 1, 10000) == 1 && read(done[0], &byte, 1) == 1;
        usleep((useconds_t)(random() % 20000));
        kill(pid, SIGKILL);
        close(done[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        std::string text = read_text_file(config_path_);
        EXPECT_TRUE(text == text_a || text == text_b)
            << "round " << round << ": " << text.size() << " bytes";
        seen_b += saved_once && text == text_b;
    }
    // The child saved at least once in some round, or the test proved nothing.
    EXPECT_GT(seen_b, 0);
    // A temporary file left by a killed save does not hinder the next one.
    EXPECT_EQ(save_and_read(), text_a);
    EXPECT_NE(access((config_path_ + ".tmp").c_str(), F_OK), 0);
}
