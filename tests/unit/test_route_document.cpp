// Tests of the route document and the configuration file: exact bytes, load, ids, bad input.
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "routing/operations.h"
#include "routing/registry.h"
#include "routing/route_store.h"
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

// Saved as the operations leave the records: compact, no line end, newest route first,
// each mode named for its side, an unknown mode and a URL that is not UTF-8 left out, a
// quote escaped, a slash and other UTF-8 as they are.
TEST_F(route_document, save_writes_newest_route_first_with_mode_names_per_side)
{
    EXPECT_EQ(save_and_read(), "{}");
    ASSERT_EQ(create_route(), 100);
    route_t *route = insert_idle_route(101);
    ASSERT_NE(route, nullptr);
    configure(route->source, 1, CONN_MODE_CALLER, "srt://127.0.0.1:9000");
    configure(append_target(*route, 1001).endpoint, 1, CONN_MODE_CALLER,
              "srt://h:1?streamid=caf\xc3\xa9\"q");
    configure(append_target(*route, 1002).endpoint, 0, CONN_MODE_RENDEZVOUS, "srt://h:2?\xff");
    configure(append_target(*route, 1003).endpoint, 1, (conn_mode_t)7, "srt://h:3");
    ASSERT_NE(route = insert_idle_route(102), nullptr);
    configure(route->source, 0, (conn_mode_t)7, "");
    EXPECT_EQ(save_and_read(),
              J("{'102':{'source_id':102,'enabled':0,'url':'','targets':{}},'101':{'source_id':"
                "101,'enabled':1,'mode':'pull','url':'srt://127.0.0.1:9000','targets':{'1001':{"
                "'enabled':1,'mode':'push','url':'srt://h:1?streamid=caf\xc3\xa9\\'q'},'1002':{"
                "'enabled':0,'mode':'rendezvous'},'1003':{'enabled':1,'url':'srt://h:3'}}},'100':"
                "{'source_id':100,'enabled':0,'mode':'listen','url':'','targets':{}}}"));
}

// Only a non-zero integer enables, mode names are exact and per side, members that are
// not objects are skipped and so is an id read twice (target ids count across routes).
// A URL longer than its field is kept cut but parsed whole. The load never writes the
// file; the next save lists the routes in reverse.
TEST_F(route_document, load_reads_leniently_and_the_next_save_lists_routes_in_reverse)
{
    const std::string url =
        "srt://127.0.0.1:4300?streamid=" + std::string(280, 'x') + "&latency=77";
    const std::string cut = url.substr(0, ENDPOINT_URL_SIZE - 1);
    const std::string stored =
        J("{'100':{'enabled':true,'mode':'Pull','url':'" + url +
          "'},'101':{'source_id':7,'enabled':"
          "'1','mode':'pull','targets':{'1000':{'enabled':-3,'mode':'push'},'1001':{'enabled':true,"
          "'mode':'rendezvous'},'1002':{'enabled':1.0,'mode':'PUSH'},'1003':{'enabled':1,'mode':"
          "'caller'},'1500':7}},'102':{'mode':'push','targets':{'1000':{'enabled':1}}},'0102':{},"
          "'900':'x','103':5,'104':[1],'105':null}");
    std::string printed = load(stored);
    EXPECT_NE(printed.find("target id 1000 is stored twice"), std::string::npos) << printed;
    EXPECT_NE(printed.find("route id 102 is stored twice"), std::string::npos) << printed;
    EXPECT_EQ(read_text_file(config_path_), stored);
    const std::string idle = "'enabled':0,'mode':'listen','url':''";
    EXPECT_EQ(save_and_read(),
              J("{'102':{'source_id':102," + idle +
                ",'targets':{}},'101':{'source_id':101,"
                "'enabled':0,'mode':'pull','url':'','targets':{'1000':{'enabled':1,'mode':'push',"
                "'url':''},'1001':{'enabled':0,'mode':'rendezvous','url':''},'1002':{" +
                idle + "},'1003':{'enabled':1,'mode':'listen','url':''},'1500':{" + idle +
                "}}},'100':{"
                "'source_id':100,'enabled':0,'mode':'listen','url':'" +
                cut + "','targets':{}}}"));
    EXPECT_EQ(g_routes.back().source.port, 4300);
    EXPECT_EQ(g_routes.back().source.latency, 77);
    EXPECT_EQ(std::next(g_routes.begin())->targets.front().basesockout, -1)
        << "a route whose source is off opens no target";
}

// The counters move to one past the largest ids read, even from higher values; a
// non-object route member does not count, a non-object target member does. Past 65534
// they wrap, skipping 0 and the ids in use (target ids of any route).
TEST_F(route_document, load_moves_id_counters_past_the_largest_ids_read)
{
    const struct {
        const char *document;
        std::vector<int32_t> route_ids, target_ids;
    } cases[] = {
        {"{'100':{},'105':{'targets':{'1003':{},'1200':7}},'101':{},'900':'x'}", {106}, {1201}},
        {"{}", {500}, {5000}},
        {"{'1':{'targets':{'1':{}}},'2':{},'4':{},'65533':{'targets':{'65533':{}}}}",
         {65534, 3, 5},
         {65534, 2, 3}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.document);
        advance_id_counters(499, 4999);
        load(J(c.document));
        std::vector<int32_t> route_ids, target_ids;
        pthread_mutex_lock(&g_routes_lock);
        for (size_t n = 0; n < c.route_ids.size(); n++) {
            route_ids.push_back(allocate_route_id());
            target_ids.push_back(allocate_target_id());
        }
        pthread_mutex_unlock(&g_routes_lock);
        EXPECT_EQ(route_ids, c.route_ids);
        EXPECT_EQ(target_ids, c.target_ids);
    }
}

// Nothing is loaded and the registry stays as it was; trust's e2e test pins the copy
// set aside. Jansson's own texts; it refuses a bare string as a root by itself.
TEST_F(route_document, malformed_file_prints_its_error_and_keeps_the_registry)
{
    json_error_t truncated, string_root;
    ASSERT_EQ(json_loads("{\"100\":", 0, &truncated), nullptr);
    ASSERT_EQ(json_loads("\"100\"", 0, &string_root), nullptr);
    const struct {
        const char *text; // nullptr: no file; "/": a folder in its place
        std::string expected;
    } cases[] = {{nullptr, "Error opening file.\n"},
                 {"/", "Error opening file.\n"},
                 {"{'100':", std::string("Error parsing JSON: ") + truncated.text + "\n"},
                 {"[{'100':{}}]", "Error parsing JSON: \n"},
                 {"'100'", std::string("Error parsing JSON: ") + string_root.text + "\n"}};
    ASSERT_NE(insert_idle_route(555), nullptr);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "no file");
        remove_tree(config_path_);
        if (c.text != nullptr && std::string(c.text) == "/")
            ASSERT_EQ(mkdir(config_path_.c_str(), 0755), 0);
        else if (c.text != nullptr)
            write_text_file(config_path_, J(c.text));
        EXPECT_EQ(load().substr(0, c.expected.size()), c.expected);
        ASSERT_EQ(g_routes.size(), 1u);
        EXPECT_EQ(g_routes.front().id, 555);
    }
}

// A child saves two hundred routes again and again, the first route's URL alternating,
// and is killed at random moments: the file always holds one of the two documents.
TEST_F(route_document, kill_during_save_leaves_old_or_new_document)
{
    for (int32_t id = 100; id < 300; id++) {
        route_t *route = insert_idle_route(id);
        ASSERT_NE(route, nullptr);
        configure(route->source, 0, CONN_MODE_CALLER,
                  "srt://h:" + std::to_string(id) + "?streamid=" + std::string(200, 'r'));
    }
    endpoint_url_t &first = g_routes.front().source;
    const std::string url_a = "srt://h:1", url_b = first.url;
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
