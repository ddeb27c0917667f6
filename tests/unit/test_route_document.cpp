// Tests of the route document and the configuration file: exact bytes, load, ids, bad input.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <jansson.h>

#include "config/route_document.h"
#include "core/settings.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "testkit.h"

// Sends standard output to a file until finish() or the end of the scope.
class stdout_capture_t {
  public:
    explicit stdout_capture_t(const std::string &path) : path_(path) {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~stdout_capture_t() {
        finish();
    }
    std::string finish() {
        if (saved_ != -1) {
            fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
        return read_text_file(path_);
    }

  private:
    std::string path_;
    int saved_ = -1;
};

// A route record with no threads and no sockets, put at the front of g_routes.
static route_t *insert_route(int32_t id) {
    std::list<route_t> holder;
    if (build_route_record(holder, id) != 0)
        return nullptr;
    g_routes.splice(g_routes.begin(), holder);
    return &g_routes.front();
}

static void configure(endpoint_url_t &endpoint, int enabled, conn_mode_t mode, const char *url) {
    endpoint.enabled = (uint8_t)enabled;
    endpoint.mode = mode;
    snprintf(endpoint.url, sizeof endpoint.url, "%s", url);
}

static size_t route_count(void) {
    return g_routes.size();
}

// Stops the threads of every route at once (a load starts a pair per route), then
// empties the registry without saving.
static void discard_loaded_routes(void) {
    pthread_mutex_lock(&g_routes_lock);
    for (route_t &route : g_routes)
        route.running = 0;
    pthread_mutex_unlock(&g_routes_lock);
    wait_until(
        [] {
            for (const route_t &route : g_routes)
                if (!route_threads_idle(route))
                    return false;
            return true;
        },
        5000);
    discard_all_routes();
}

class route_document : public ::testing::Test {
  protected:
    void SetUp() override {
        snprintf(saved_config_path_, sizeof saved_config_path_, "%s", g_config_path);
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        config_path_ = dir_ + "/routes.json";
        snprintf(g_config_path, sizeof g_config_path, "%s", config_path_.c_str());
        discard_all_routes();
        reset_id_counters();
    }
    void TearDown() override {
        discard_loaded_routes();
        reset_id_counters();
        snprintf(g_config_path, sizeof g_config_path, "%s", saved_config_path_);
        remove_tree(dir_);
    }

    std::string save_and_read(void) {
        pthread_mutex_lock(&g_routes_lock);
        save_routes_config();
        pthread_mutex_unlock(&g_routes_lock);
        return read_text_file(config_path_);
    }

    // Loads text as the configuration file; returns what the load printed.
    std::string load_text(const std::string &text) {
        write_text_file(config_path_, text);
        return load_current_file();
    }

    std::string load_current_file(void) {
        stdout_capture_t capture(dir_ + "/stdout.txt");
        load_routes_config();
        return capture.finish();
    }

    std::string dir_;
    std::string config_path_;
    char saved_config_path_[256];
};

static const char UNCONFIGURED_100[] =
    "\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\",\"targets\":{}}";

TEST_F(route_document, empty_registry_saves_empty_object) {
    EXPECT_EQ(save_and_read(), "{}");
}

TEST_F(route_document, new_route_is_saved_with_listen_defaults_and_no_line_end) {
    ASSERT_EQ(create_route(), 100);
    EXPECT_EQ(read_text_file(config_path_), std::string("{") + UNCONFIGURED_100 + "}");
}

TEST_F(route_document, newest_route_is_written_first_and_targets_keep_their_order) {
    ASSERT_EQ(create_route(), 100);
    ASSERT_EQ(create_route(), 101);
    ASSERT_EQ(add_target(100), 1000);
    ASSERT_EQ(add_target(100), 1001);
    ASSERT_EQ(add_target(101), 1002);
    const char *target = "{\"enabled\":0,\"mode\":\"listen\",\"url\":\"\"}";
    std::string expected =
        std::string("{\"101\":{\"source_id\":101,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\","
                    "\"targets\":{\"1002\":") +
        target +
        "}},\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\",\"url\":\"\","
        "\"targets\":{\"1000\":" +
        target + ",\"1001\":" + target + "}}}";
    EXPECT_EQ(read_text_file(config_path_), expected);
}

TEST_F(route_document, modes_are_named_per_side_and_unknown_codes_are_left_out) {
    struct case_t {
        conn_mode_t mode;
        const char *source_member;
        const char *target_member;
    };
    const case_t cases[] = {
        {CONN_MODE_LISTEN, "\"mode\":\"listen\",", "\"mode\":\"listen\","},
        {CONN_MODE_CALLER, "\"mode\":\"pull\",", "\"mode\":\"push\","},
        {CONN_MODE_RENDEZVOUS, "\"mode\":\"rendezvous\",", "\"mode\":\"rendezvous\","},
        {7, "", ""},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.mode);
        route_t *route = insert_route(100);
        ASSERT_NE(route, nullptr);
        configure(route->source, 1, c.mode, "srt://127.0.0.1:9000");
        target_t &target = append_target(*route, 1000);
        // A quote is escaped, a slash and non-ASCII UTF-8 are written as they are.
        configure(target.endpoint, 1, c.mode, "srt://127.0.0.1:9001?streamid=caf\xc3\xa9\"q");
        std::string expected =
            std::string("{\"100\":{\"source_id\":100,\"enabled\":1,") + c.source_member +
            "\"url\":\"srt://127.0.0.1:9000\",\"targets\":{\"1000\":{"
            "\"enabled\":1," +
            c.target_member + "\"url\":\"srt://127.0.0.1:9001?streamid=caf\xc3\xa9\\\"q\"}}}}";
        EXPECT_EQ(save_and_read(), expected);
        discard_all_routes();
    }
}

TEST_F(route_document, url_that_is_not_utf8_leaves_out_only_its_member) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    target_t &target = append_target(*route, 1000);
    configure(target.endpoint, 0, CONN_MODE_LISTEN, "srt://127.0.0.1:9001?streamid=\xff\xfe");
    EXPECT_EQ(save_and_read(), "{\"100\":{\"source_id\":100,\"enabled\":0,\"mode\":\"listen\","
                               "\"url\":\"\",\"targets\":{\"1000\":{\"enabled\":0,\"mode\":"
                               "\"listen\"}}}}");
}

TEST_F(route_document, load_lists_routes_in_reverse_and_next_save_writes_that_order) {
    ASSERT_EQ(create_route(), 100);
    ASSERT_EQ(create_route(), 101);
    ASSERT_EQ(add_target(100), 1000);
    std::string first = read_text_file(config_path_);
    ASSERT_LT(first.find("\"101\""), first.find("\"100\""));
    discard_all_routes();
    reset_id_counters();

    std::string printed = load_current_file();
    EXPECT_NE(printed.find("=== load str:" + first + "\n"), std::string::npos) << printed;
    ASSERT_EQ(route_count(), 2u);
    EXPECT_EQ(g_routes.front().id, 100);
    EXPECT_EQ(g_routes.back().id, 101);
    // The load itself never rewrites the file.
    EXPECT_EQ(read_text_file(config_path_), first);

    std::string second = save_and_read();
    EXPECT_LT(second.find("\"100\""), second.find("\"101\""));
    json_t *before = json_loads(first.c_str(), 0, nullptr);
    json_t *after = json_loads(second.c_str(), 0, nullptr);
    EXPECT_TRUE(json_equal(before, after)) << first << "\n" << second;
    json_decref(before);
    json_decref(after);
}

TEST_F(route_document, load_then_save_reproduces_every_setting_in_reverse_route_order) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    ASSERT_GT(source_port, 0);
    ASSERT_GT(target_port, 0);
    std::string live =
        "\"300\":{\"source_id\":300,\"enabled\":1,\"mode\":\"listen\",\"url\":\"srt://"
        "127.0.0.1:" +
        std::to_string(source_port) +
        "\",\"targets\":{\"2000\":{\"enabled\":1,\"mode\":\"listen\",\"url\":\"srt://127.0.0.1:" +
        std::to_string(target_port) + "\"}}}";
    std::string idle =
        "\"200\":{\"source_id\":200,\"enabled\":0,\"mode\":\"pull\",\"url\":\"srt://"
        "127.0.0.1:5000?streamid=a\",\"targets\":{\"3000\":{\"enabled\":1,\"mode\":\"push\","
        "\"url\":\"srt://127.0.0.1:5001\"},\"1500\":{\"enabled\":0,\"mode\":\"rendezvous\","
        "\"url\":\"srt://127.0.0.1:5002?port=5003\"}}}";
    std::string bare = "\"250\":{\"source_id\":250,\"enabled\":0,\"mode\":\"rendezvous\","
                       "\"url\":\"\",\"targets\":{}}";
    load_text("{" + live + "," + idle + "," + bare + "}");
    ASSERT_EQ(route_count(), 3u);
    EXPECT_EQ(save_and_read(), "{" + bare + "," + idle + "," + live + "}");
}

TEST_F(route_document, load_moves_id_counters_past_the_largest_ids_read) {
    struct case_t {
        const char *name;
        int32_t route_counter_before; // largest id already used, -1: untouched
        int32_t target_counter_before;
        const char *document;
        int32_t next_route_id;
        int32_t next_target_id;
    };
    const case_t cases[] = {
        {"route members out of order", -1, -1, "{\"100\":{},\"105\":{},\"101\":{}}", 106, 1000},
        {"target ids of all routes", -1, -1,
         "{\"100\":{\"targets\":{\"1003\":{},\"1200\":{}}},\"101\":{\"targets\":{\"1001\":{}}}}",
         102, 1201},
        {"a non-object target member still counts", -1, -1, "{\"100\":{\"targets\":{\"1500\":7}}}",
         101, 1501},
        {"a non-object route member does not count", -1, -1, "{\"100\":{},\"900\":\"x\"}", 101,
         1000},
        {"the largest stored id sets the route counter, even lower", 499, 4999, "{\"120\":{}}", 121,
         5000},
        {"no member keeps both counters", 499, 4999, "{}", 500, 5000},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        discard_loaded_routes();
        reset_id_counters();
        advance_id_counters(c.route_counter_before, c.target_counter_before);
        load_text(c.document);
        pthread_mutex_lock(&g_routes_lock);
        int32_t route_id = allocate_route_id();
        int32_t target_id = allocate_target_id();
        pthread_mutex_unlock(&g_routes_lock);
        EXPECT_EQ(route_id, c.next_route_id);
        EXPECT_EQ(target_id, c.next_target_id);
    }
}

TEST_F(route_document, malformed_file_prints_its_error_and_keeps_the_registry) {
    // Jansson's own texts; a root of another type is valid JSON with no error text,
    // but Jansson refuses a bare string as a root by itself.
    json_error_t error;
    ASSERT_EQ(json_loads("{\"100\":", 0, &error), nullptr);
    std::string truncated_error = std::string("Error parsing JSON: ") + error.text + "\n";
    ASSERT_EQ(json_loads("\"100\"", 0, &error), nullptr);
    std::string string_error = std::string("Error parsing JSON: ") + error.text + "\n";

    struct case_t {
        const char *name;
        const char *text; // nullptr: no file; "/": a folder in its place
        std::string expected;
    };
    const case_t cases[] = {
        {"missing file", nullptr, "Error opening file.\n"},
        {"folder in place of the file", "/", "Error opening file.\n"},
        {"truncated document", "{\"100\":", truncated_error},
        {"array root", "[{\"100\":{}}]", "Error parsing JSON: \n"},
        {"string root", "\"100\"", string_error},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        route_t *kept = insert_route(555);
        ASSERT_NE(kept, nullptr);
        remove_tree(dir_);
        dir_ = make_temp_dir();
        config_path_ = dir_ + "/routes.json";
        snprintf(g_config_path, sizeof g_config_path, "%s", config_path_.c_str());
        if (c.text == nullptr) {
            // nothing at the path
        } else if (strcmp(c.text, "/") == 0) {
            ASSERT_EQ(mkdir(config_path_.c_str(), 0755), 0);
        } else {
            write_text_file(config_path_, c.text);
        }
        std::string printed = load_current_file();
        EXPECT_EQ(printed, c.expected);
        ASSERT_EQ(route_count(), 1u);
        EXPECT_EQ(g_routes.front().id, 555);
        discard_all_routes();
    }
}

TEST_F(route_document, members_that_are_not_objects_are_skipped) {
    load_text("{\"100\":\"text\",\"101\":5,\"102\":{},\"103\":[1],\"104\":null}");
    ASSERT_EQ(route_count(), 1u);
    EXPECT_EQ(g_routes.front().id, 102);
}

TEST_F(route_document, enabled_and_mode_read_leniently_per_side) {
    struct case_t {
        bool target;
        const char *members; // "enabled" and "mode" as stored
        uint8_t enabled;
        conn_mode_t mode;
    };
    // Every source here stays disabled, so no socket is opened.
    const case_t cases[] = {
        {false, "\"enabled\":true,\"mode\":\"listen\"", 0, CONN_MODE_LISTEN},
        {false, "\"enabled\":\"1\",\"mode\":\"pull\"", 0, CONN_MODE_CALLER},
        {false, "\"enabled\":0,\"mode\":\"rendezvous\"", 0, CONN_MODE_RENDEZVOUS},
        {false, "\"enabled\":0,\"mode\":\"Pull\"", 0, CONN_MODE_LISTEN},
        {false, "\"enabled\":0,\"mode\":\"push\"", 0, CONN_MODE_LISTEN},
        {false, "\"enabled\":0,\"mode\":1", 0, CONN_MODE_LISTEN},
        {false, "\"url\":\"\"", 0, CONN_MODE_LISTEN},
        {true, "\"enabled\":7,\"mode\":\"push\"", 1, CONN_MODE_CALLER},
        {true, "\"enabled\":-3,\"mode\":\"pull\"", 1, CONN_MODE_CALLER},
        {true, "\"enabled\":true,\"mode\":\"rendezvous\"", 0, CONN_MODE_RENDEZVOUS},
        {true, "\"enabled\":1.0,\"mode\":\"PUSH\"", 0, CONN_MODE_LISTEN},
        {true, "\"enabled\":1,\"mode\":\"caller\"", 1, CONN_MODE_LISTEN},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.members);
        discard_loaded_routes();
        std::string document =
            c.target ? std::string("{\"100\":{\"enabled\":0,\"targets\":{\"1000\":{") + c.members +
                           "}}}}"
                     : std::string("{\"100\":{") + c.members + ",\"targets\":{}}}";
        load_text(document);
        ASSERT_EQ(route_count(), 1u);
        route_t &route = g_routes.front();
        const endpoint_url_t *endpoint = &route.source;
        if (c.target) {
            ASSERT_EQ(route.targets.size(), 1u);
            endpoint = &route.targets.front().endpoint;
        }
        EXPECT_EQ(endpoint->enabled, c.enabled);
        EXPECT_EQ(endpoint->mode, c.mode);
        EXPECT_EQ(route.basesockin, -1);
    }
}

TEST_F(route_document, disabled_source_opens_no_socket_but_its_threads_run) {
    load_text("{\"100\":{\"enabled\":0,\"targets\":{\"1000\":{\"enabled\":1,\"mode\":\"listen\","
              "\"url\":\"srt://127.0.0.1:" +
              std::to_string(free_udp_port()) + "\"}}}}");
    ASSERT_EQ(route_count(), 1u);
    route_t &route = g_routes.front();
    EXPECT_EQ(route.basesockin, -1);
    EXPECT_EQ(route.targets.front().basesockout, -1);
    EXPECT_EQ(route.running, 1);
    EXPECT_FALSE(route_threads_idle(route));
}

TEST_F(route_document, nonzero_enabled_loads_as_one_and_opens_listeners) {
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    load_text("{\"100\":{\"enabled\":7,\"mode\":\"listen\",\"url\":\"srt://127.0.0.1:" +
              std::to_string(source_port) +
              "\",\"targets\":{\"1000\":{\"enabled\":-1,\"mode\":\"listen\",\"url\":\"srt://"
              "127.0.0.1:" +
              std::to_string(target_port) + "\"},\"1001\":{\"enabled\":0}}}}");
    ASSERT_EQ(route_count(), 1u);
    route_t &route = g_routes.front();
    EXPECT_EQ(route.source.enabled, 1);
    ASSERT_NE(route.basesockin, -1);
    EXPECT_EQ(srt_getsockstate(route.basesockin), SRTS_LISTENING);
    ASSERT_EQ(route.targets.size(), 2u);
    target_t &live = route.targets.front();
    EXPECT_EQ(live.endpoint.enabled, 1);
    ASSERT_NE(live.basesockout, -1);
    EXPECT_EQ(srt_getsockstate(live.basesockout), SRTS_LISTENING);
    EXPECT_EQ(route.targets.back().basesockout, -1);
    // Saved back as 1, never as the stored 7.
    EXPECT_NE(save_and_read().find("{\"source_id\":100,\"enabled\":1,"), std::string::npos);
}

TEST_F(route_document, long_url_survives_save_and_load_whole) {
    std::string url = "srt://127.0.0.1:4200?streamid=" + std::string(120, 's') + "&latency=321";
    ASSERT_GT(url.size(), 99u);
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    configure(route->source, 0, CONN_MODE_CALLER, url.c_str());
    target_t &target = append_target(*route, 1000);
    configure(target.endpoint, 0, CONN_MODE_CALLER, url.c_str());
    std::string saved = save_and_read();
    EXPECT_EQ(count_occurrences(saved, "\"url\":\"" + url + "\""), 2u) << saved;

    discard_all_routes();
    load_current_file();
    ASSERT_EQ(route_count(), 1u);
    const route_t &loaded = g_routes.front();
    EXPECT_EQ(std::string(loaded.source.url), url);
    EXPECT_EQ(loaded.source.port, 4200);
    EXPECT_EQ(loaded.source.latency, 321);
    ASSERT_EQ(loaded.targets.size(), 1u);
    EXPECT_EQ(std::string(loaded.targets.front().endpoint.url), url);
}

TEST_F(route_document, url_longer_than_its_field_is_cut_but_parsed_whole) {
    std::string url = "srt://127.0.0.1:4300?streamid=" + std::string(280, 'x') + "&latency=77";
    load_text("{\"100\":{\"enabled\":0,\"mode\":\"pull\",\"url\":\"" + url + "\"}}");
    ASSERT_EQ(route_count(), 1u);
    const route_t &route = g_routes.front();
    EXPECT_EQ(std::string(route.source.url), url.substr(0, ENDPOINT_URL_SIZE - 1));
    EXPECT_EQ(route.source.port, 4300);
    EXPECT_EQ(route.source.latency, 77);
}

// Saves in a loop until killed (or ended by the alarm), writing one byte to
// done_fd after each completed save; the first route's URL alternates between
// url_b and url_a so that successive saves differ.
static void save_forever(int done_fd, const std::string &url_a, const std::string &url_b) {
    alarm(20);
    for (unsigned round = 0;; round++) {
        const std::string &url = round % 2 == 0 ? url_b : url_a;
        pthread_mutex_lock(&g_routes_lock);
        snprintf(g_routes.front().source.url, ENDPOINT_URL_SIZE, "%s", url.c_str());
        save_routes_config();
        pthread_mutex_unlock(&g_routes_lock);
        if (write(done_fd, "s", 1) != 1)
            _exit(1);
    }
}

// Waits up to timeout_ms for the child's first completed save.
static bool wait_first_save(int done_fd, int timeout_ms) {
    struct pollfd ready = {done_fd, POLLIN, 0};
    char byte;
    return poll(&ready, 1, timeout_ms) == 1 && read(done_fd, &byte, 1) == 1;
}

TEST_F(route_document, kill_during_save_leaves_old_or_new_document) {
    for (int32_t id = 100; id < 300; id++) {
        route_t *route = insert_route(id);
        ASSERT_NE(route, nullptr);
        configure(route->source, 0, CONN_MODE_CALLER,
                  ("srt://127.0.0.1:" + std::to_string(10000 + id) + "?streamid=route-" +
                   std::to_string(id) + "&latency=200")
                      .c_str());
        for (int32_t n = 0; n < 2; n++) {
            target_t &target = append_target(*route, id * 10 + n);
            configure(
                target.endpoint, 0, CONN_MODE_CALLER,
                ("srt://127.0.0.1:" + std::to_string(20000 + n) + "?streamid=target").c_str());
        }
    }
    const std::string url_a = "srt://127.0.0.1:7000?streamid=first";
    const std::string url_b = "srt://127.0.0.1:7001?streamid=second";
    snprintf(g_routes.front().source.url, ENDPOINT_URL_SIZE, "%s", url_b.c_str());
    const std::string text_b = save_and_read();
    snprintf(g_routes.front().source.url, ENDPOINT_URL_SIZE, "%s", url_a.c_str());
    const std::string text_a = save_and_read();
    ASSERT_GT(text_a.size(), 40000u);

    unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pause_us(0, 20000);
    int seen_b = 0;
    for (int round = 0; round < 30; round++) {
        int done[2];
        ASSERT_EQ(pipe(done), 0);
        fflush(stdout);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(done[0]);
            save_forever(done[1], url_a, url_b);
        }
        close(done[1]);
        // Every other round the kill may come before the first save ends; the
        // others let one save finish and kill somewhere in the following ones.
        bool saved_once = round % 2 == 1 && wait_first_save(done[0], 10000);
        usleep((useconds_t)pause_us(random));
        kill(pid, SIGKILL);
        close(done[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));
        ASSERT_EQ(WTERMSIG(status), SIGKILL);

        std::string text = read_text_file(config_path_);
        json_t *parsed = json_loads(text.c_str(), 0, nullptr);
        EXPECT_NE(parsed, nullptr) << "round " << round << ": " << text.size() << " bytes";
        json_decref(parsed);
        EXPECT_TRUE(text == text_a || text == text_b) << "round " << round;
        if (saved_once && text == text_b)
            seen_b++;
    }
    // The child saved at least once in some round, or the test proved nothing.
    EXPECT_GT(seen_b, 0);
    // A temporary file left by a killed save does not hinder the next one.
    EXPECT_EQ(save_and_read(), text_a);
    EXPECT_NE(access((config_path_ + ".tmp").c_str(), F_OK), 0);
}
