// Tests of the route document and the configuration file: exact bytes, load, ids, kills.
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

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
        EXPECT_EQ(save_routes_config(), 0);
        return read_text_file(config_path_);
    }
    // Loads the file (after writing text unless empty); returns what the load printed.
    std::string load(const std::string &text = "")
    {
        if (!text.empty())
            write_text_file(config_path_, text);
        return capture_stdout(load_routes_config);
    }
};

// Load is lenient and never writes; save is compact, newest first, drops bad modes and URLs.
TEST_F(route_document, load_reads_leniently_and_save_writes_the_newest_route_first)
{
    const std::string url = "srt://h:4300?streamid=" + std::string(280, 'x') + "&latency=77";
    const std::string stored =
        J("{'100':{'enabled':true,'mode':'Pull','url':'" + url +
          "'},'101':{'source_id':7,"
          "'enabled':'1','mode':'pull','targets':{'1000':{'enabled':-3,'mode':'push'},"
          "'1001':{'enabled':true,'mode':'rendezvous'},'1002':{'enabled':1.0,'mode':'PUSH'},"
          "'1003':{'enabled':1,'mode':'caller'},'1500':7}},'102':{'mode':'push','targets':"
          "{'1000':{'enabled':1}}},'0102':{},'900':'x','103':5,'104':[1],'105':null}");
    load(stored);
    EXPECT_EQ(read_text_file(config_path_), stored);
    EXPECT_EQ(g_routes.back().source.port, 4300);
    EXPECT_EQ(g_routes.back().source.latency, 77);

    route_t *route = insert_idle_route(106);
    ASSERT_NE(route, nullptr);
    configure(route->source, 1, (conn_mode_t)7, "srt://h:9");
    configure(append_target(*route, 2000).endpoint, 1, CONN_MODE_CALLER, "srt://h?s=\xc3\xa9\"");
    configure(append_target(*route, 2001).endpoint, 0, (conn_mode_t)7, "srt://h?s=\xff");
    const std::string idle = "{'enabled':0,'mode':'listen','url':''}";
    const std::string saved =
        "{'106':{'source_id':106,'enabled':1,'url':'srt://h:9','targets':{'2000':{'enabled':1,"
        "'mode':'push','url':'srt://h?s=\xc3\xa9\\''},'2001':{'enabled':0}}},"
        "'102':{'source_id':102,'enabled':0,'mode':'listen','url':'','targets':{}},"
        "'101':{'source_id':101,'enabled':0,'mode':'pull','url':'','targets':{"
        "'1000':{'enabled':1,'mode':'push','url':''},'1001':{'enabled':0,'mode':'rendezvous',"
        "'url':''},'1002':" +
        idle + ",'1003':{'enabled':1,'mode':'listen','url':''},'1500':" + idle +
        "}},'100':{'source_id':100,'enabled':0,'mode':'listen','url':'" +
        url.substr(0, ENDPOINT_URL_SIZE - 1) + "','targets':{}}}";
    EXPECT_EQ(save_and_read(), J(saved));
}

// A child saving in a loop is killed at random: the file always holds one whole document.
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

    unsigned seed = (unsigned)time(nullptr);
    SCOPED_TRACE("seed " + std::to_string(seed));
    int seen_b = 0;
    for (int round = 0; round < 30; round++) {
        fflush(stdout);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) { // the alarm bounds a lost child
            alarm(20);
            for (unsigned n = 0;; n++) {
                configure(first, 0, CONN_MODE_CALLER, n % 2 == 0 ? url_b : url_a);
                save_routes_config(); // the only thread of the child
            }
        }
        // Each save syncs the file and its folder: give the first one time to land.
        usleep((useconds_t)(5000 + rand_r(&seed) % 100000));
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
        std::string text = read_text_file(config_path_);
        EXPECT_TRUE(text == text_a || text == text_b) << round << ": " << text.size() << " bytes";
        seen_b += text == text_b;
    }
    EXPECT_GT(seen_b, 0) << "the child's saves reached the file";
    // A temporary file left by a killed save does not hinder the next one.
    EXPECT_EQ(save_and_read(), text_a);
}
