// The relay on a hostile host: stalled console, full or slow disk, refusing remote, busy port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

// Files beside the route file that a save left behind.
std::vector<std::string> staged_files_in(const std::string &dir)
{
    std::vector<std::string> staged;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().find(".saving-") != std::string::npos)
            staged.push_back(entry.path());
    return staged;
}

class hostile : public idle_relay_fixture
{
  protected:
    void TearDown() override
    {
        if (mounted_.size() > 0)
            umount2(mounted_.c_str(), MNT_DETACH);
        idle_relay_fixture::TearDown();
    }
    // Every fsync of the relay takes 3 s; marker appears while one waits.
    void start_with_slow_disk(const std::string &marker)
    {
        start({{"LD_PRELOAD", SLOW_FSYNC_SHIM},
               {"ASAN_OPTIONS", "verify_asan_link_order=0"},
               {"MIREVO_TEST_FSYNC_DELAY_MS", "3000"},
               {"MIREVO_TEST_FSYNC_MARKER", marker}});
    }
    std::string mounted_;
};

void fill_folder(const std::string &folder)
{
    int filler = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    char block[4096] = {};
    while (filler != -1 && write(filler, block, sizeof block) > 0) {
    }
    close(filler);
}

// A blocked console stalls neither API, stream nor handshake; its drops are reported after.
TEST_F(hostile, stalled_console_stalls_neither_api_nor_stream_nor_handshake)
{
    std::string fifo = dir + "/console";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int console = open(fifo.c_str(), O_RDWR | O_CLOEXEC); // a reader that never reads
    ASSERT_NE(console, -1);
    fcntl(console, F_SETPIPE_SZ, 4096);
    relay.child =
        spawn_process({MIREVO_BINARY},
                      {{"MIREVO_LOG_DIR", dir},
                       {"MIREVO_CONFIG", dir + "/mirevo-config.json"},
                       {"MIREVO_HTTP_PORT", std::to_string(relay.http_port = free_tcp_port())},
                       {"MIREVO_API_KEY", relay.api_key},
                       {"MIREVO_LOG_QUEUE_KB", "8"}},
                      fifo, dir + "/relay.err");
    ASSERT_TRUE(wait_http_ready(relay.http_port, 10000));
    // Enough requests to fill the pipe and the queue behind it.
    for (int i = 0; i < 400; i++)
        ASSERT_EQ(call("GET", "/api/routes").status, 200);

    int source_port = free_udp_port(), target_port = free_udp_port();
    create_routes(1);
    ASSERT_EQ(
        call("PUT", "/api/routes/100/source", listen_query(source_port, "?streamid=cam")).body,
        "Ok");
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000", listen_query(target_port)).body, "Ok");
    int reason = 0;
    EXPECT_EQ(caller(source_port, "intruder", &reason), -1);
    EXPECT_EQ(reason, SRT_REJX_FORBIDDEN) << "the gate answers at once, not by time-out";
    int publisher = caller(source_port, "cam");
    ASSERT_NE(publisher, -1);
    peer_t sending(publisher, 100);
    int subscriber = caller(target_port);
    ASSERT_NE(subscriber, -1);
    EXPECT_TRUE(receive_seq(subscriber, 3000) != -1);
    EXPECT_GT(wait_metric("mirevo_log_lines_dropped_total", 1), 0);

    // Draining the console lets the writer catch up and say what it dropped.
    std::string drained;
    char buf[4096];
    fcntl(console, F_SETFL, O_NONBLOCK);
    EXPECT_TRUE(wait_until(
        [&] {
            ssize_t got;
            while ((got = read(console, buf, sizeof buf)) > 0)
                drained.append(buf, (size_t)got);
            return drained.find("log entries dropped") != std::string::npos;
        },
        10000));
    EXPECT_EQ(stop_relay(relay), 15) << "a blocked console does not hold the exit up";
    close(console);
}

// On a full, then read-only disk every change gets 555 and file and API stay equal.
TEST_F(hostile, full_or_read_only_disk_refuses_changes_and_keeps_file_and_registry_equal)
{
    std::string folder = dir + "/etc";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=128k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << ")";
    mounted_ = folder;
    std::string config = folder + "/routes.json";
    start({{"MIREVO_CONFIG", config}});
    create_routes(1);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    // A URL, so that switching the target on gets as far as the save.
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000",
                   "enabled=0&mode=listen&url=" + url_encode(srt_url("", free_udp_port())))
                  .status,
              200);
    std::string confirmed = get_body("/api/all_info");
    ASSERT_EQ(read_text_file(config), confirmed);

    fill_folder(folder);
    const std::vector<std::pair<std::string, std::string>> changes = {
        {"POST", "/api/routes/route"},
        {"PUT", "/api/routes/100/source"},
        {"OPTIONS", "/api/routes/100/targets/1000"},
        {"DELETE", "/api/routes/100/targets/1000"},
        {"DELETE", "/api/routes/100"},
        {"POST", "/api/server/init"}};
    for (const std::string &failure : {"No space left on device", "Read-only file system"}) {
        for (const auto &[method, path] : changes) {
            http_response_t response =
                call(method, path, listen_query(free_udp_port()) + "&enabled=1");
            EXPECT_EQ(response.status, 555) << method << " " << path;
            EXPECT_EQ(response.body,
                      std::string("{\"error\":\"Saving configuration failed: ") + failure + "\"}");
            EXPECT_EQ(get_body("/api/all_info"), confirmed) << method << " " << path;
            EXPECT_EQ(read_text_file(config), confirmed);
        }
        unlink((folder + "/filler").c_str());
        ASSERT_EQ(mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    }
    EXPECT_EQ(metric("mirevo_config_save_failures_total"), 2.0 * (double)changes.size());
    EXPECT_EQ(staged_files_in(folder).size(), 0u);
    stop_relay(relay);
    start({{"MIREVO_CONFIG", config}});
    EXPECT_EQ(get_body("/api/all_info"), confirmed);
}

// A 3 s fsync stalls only the edit; SIGTERM mid-save leaves no staged copy.
TEST_F(hostile, slow_disk_stalls_only_the_edit_and_sigterm_mid_save_leaves_no_copy)
{
    int source_port = free_udp_port(), target_port = free_udp_port();
    write_text_file(dir + "/mirevo-config.json", route_file("listen", srt_url("", source_port),
                                                            "listen", srt_url("", target_port)));
    write_text_file(dir + "/mirevo-config.json.saving-Ab3dE9", "{\"passphrase\":\"x\"}");
    write_text_file(dir + "/mirevo-config.json.backup", "kept");
    std::string marker = dir + "/fsync-waiting";
    start_with_slow_disk(marker);
    // The port takes connections before the load; the first answer comes after it.
    ASSERT_EQ(call("GET", "/api/routes").status, 200);
    EXPECT_EQ(staged_files_in(dir).size(), 0u);
    EXPECT_EQ(read_text_file(dir + "/mirevo-config.json.backup"), "kept");

    int publisher = caller(source_port);
    ASSERT_NE(publisher, -1);
    peer_t sending(publisher, 100);
    std::atomic<bool> edited{false};
    // The staged file vanishes while it syncs (a cleanup tool): the edit is not confirmed.
    std::thread edit([&] {
        EXPECT_EQ(call("POST", "/api/routes/100/targets").body,
                  "{\"error\":\"Saving configuration failed: No such file or directory\"}");
        edited = true;
    });
    ASSERT_TRUE(wait_until([&] { return access(marker.c_str(), F_OK) == 0; }, 5000));
    for (const std::string &path : staged_files_in(dir))
        unlink(path.c_str());
    int subscriber = caller(target_port);
    EXPECT_NE(subscriber, -1);
    EXPECT_TRUE(subscriber != -1 && receive_seq(subscriber, 2000) != -1);
    EXPECT_FALSE(edited) << "the subscriber was served before the disk answered";
    edit.join();

    child_process_t &child = relay.child;
    std::thread doomed([&] { call("POST", "/api/routes/route"); });
    ASSERT_TRUE(wait_until([&] { return access(marker.c_str(), F_OK) == 0; }, 5000));
    ASSERT_EQ(staged_files_in(dir).size(), 1u);
    auto signalled = std::chrono::steady_clock::now();
    kill(child.pid, SIGTERM);
    EXPECT_TRUE(wait_process(child, 5000));
    EXPECT_EQ(child.status, 15);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(4500));
    doomed.join();
    EXPECT_EQ(staged_files_in(dir).size(), 0u);
}

// Reads answer while changes wait for slow saves, one after another in order.
TEST_F(hostile, reads_answer_while_changes_wait_in_order_for_slow_saves)
{
    write_text_file(
        dir + "/mirevo-config.json",
        route_file("listen", srt_url("", free_udp_port()), "listen", srt_url("", free_udp_port())));
    std::string marker = dir + "/fsync-waiting";
    start_with_slow_disk(marker);
    std::atomic<int> answered{0};
    int put_order = 0, post_order = 0;
    std::string put_body, post_body;
    std::thread put([&] {
        put_body = call("PUT", "/api/routes/100/source", listen_query(free_udp_port())).body;
        put_order = ++answered;
    });
    ASSERT_TRUE(wait_until([&] { return access(marker.c_str(), F_OK) == 0; }, 5000));
    std::thread post([&] {
        post_body = call("POST", "/api/routes/100/targets").body;
        post_order = ++answered;
    });
    ASSERT_TRUE(wait_relay_output(relay, "POST request URI: /api/routes/100/targets", 5000));
    // One client resets before its answer; another sends a change and a read at once.
    http_connection_t leaving, kept;
    ASSERT_TRUE(http_connect(leaving, relay.http_port));
    ASSERT_TRUE(http_send_raw(leaving, "POST " + api_target("/api/routes/route", relay.api_key) +
                                           " HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n"));
    ASSERT_TRUE(wait_relay_output(relay, "POST request URI: /api/routes/route", 5000));
    struct linger reset = {1, 0};
    setsockopt(leaving.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    http_disconnect(leaving);
    ASSERT_TRUE(http_connect(kept, relay.http_port));
    ASSERT_TRUE(
        http_send_raw(kept, "OPTIONS " + api_target("/api/routes/100/targets/1000", relay.api_key) +
                                "&enabled=0 HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\nGET " +
                                api_target("/api/routes/100/targets", relay.api_key) +
                                " HTTP/1.1\r\nHost: h\r\n\r\n"));

    const std::pair<std::string, std::string> reads[] = {
        {"/api/routes", ""},
        {"/api/all_info", ""},
        {"/api/active_routes", ""},
        {"/api/routes/100/source", ""},
        {"/api/routes/100/targets", ""},
        {"/api/routes/100/active_targets", ""},
        {"/api/stats", "route_id=100&is_source=1"},
        {"/api/connections", ""},
        {"/api/endpoints", ""},
        {"/api/history", "route_id=100"},
        {"/api/metrics", ""},
        {"/api/logs", ""},
    };
    for (const auto &[path, query] : reads) {
        EXPECT_EQ(call("GET", path, query).status, 200) << path;
        EXPECT_EQ(answered.load(), 0) << path << " waited for the first change's save";
    }

    put.join();
    post.join();
    EXPECT_EQ(put_body, "Ok");
    EXPECT_EQ(put_order, 1);
    EXPECT_EQ(post_body, "{\"target_id\":1001}");
    EXPECT_EQ(post_order, 2);
    // The read sent behind the change is answered after it, and sees it.
    EXPECT_EQ(http_read_response(kept, 20000).body, "Ok");
    std::string targets = http_read_response(kept, 20000).body;
    EXPECT_EQ(targets, get_body("/api/routes/100/targets"));
    EXPECT_NE(targets.find("\"1000\":{\"enabled\":0,"), std::string::npos) << targets;
    http_disconnect(kept);
    EXPECT_EQ(get_body("/api/routes"), "{\"101\":{\"enabled\":0},\"100\":{\"enabled\":1}}");
    EXPECT_EQ(read_text_file(dir + "/mirevo-config.json"), get_body("/api/all_info"));
}

// A full log folder: lost entries counted, reported once, the cut entry marked.
TEST_F(hostile, full_log_folder_counts_lost_entries_and_reports_them_once_there_is_room)
{
    std::string folder = dir + "/log";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << ")";
    mounted_ = folder;
    start({{"MIREVO_LOG_DIR", folder}});
    std::string day_file;
    auto initialized = [&] {
        for (const auto &entry : std::filesystem::directory_iterator(folder))
            day_file = entry.path();
        return read_text_file(day_file).find("successfully initialized\n") != std::string::npos;
    };
    ASSERT_TRUE(wait_until(initialized, 10000));

    // Leave 40 bytes on the day file's last page, then fill the folder.
    struct stat file_stat;
    ASSERT_EQ(stat(day_file.c_str(), &file_stat), 0);
    size_t pad = (size_t)(2 * 4096 - 40 - file_stat.st_size % 4096) % 4096;
    pad += pad < 16 ? 4096 : 0;
    std::string padding = "[" + std::string(pad - 3, 'x') + "]\n";
    int appending = open(day_file.c_str(), O_WRONLY | O_APPEND);
    ASSERT_NE(appending, -1);
    ASSERT_EQ(write(appending, padding.data(), padding.size()), (ssize_t)padding.size());
    close(appending);
    fill_folder(folder);

    // Each SIGHUP logs one entry: no TLS pair is configured.
    const std::string entry = "SIGHUP: no TLS certificate is configured, nothing to reload\n";
    size_t hangups = 0;
    auto hang_up = [&] {
        kill(relay.child.pid, SIGHUP);
        hangups++;
        return wait_until([&] { return count_occurrences(relay_stdout(relay), entry) == hangups; },
                          5000);
    };
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(hang_up());
    EXPECT_EQ(metric("mirevo_log_write_failures_total"), 3);
    EXPECT_EQ(count_occurrences(relay_stdout(relay),
                                "Log file " + day_file +
                                    " cannot be written (No space left on device): its entries "
                                    "are counted until it can\n"),
              1u);

    unlink((folder + "/filler").c_str());
    ASSERT_TRUE(hang_up());
    std::string text = read_text_file(day_file);
    std::string lost = "[WARNING]  3 log entries could not be written to " + day_file +
                       " (No space left on device)\n";
    EXPECT_EQ(count_occurrences(text, lost), 1u) << text.substr(text.size() - 400);
    EXPECT_EQ(count_occurrences(relay_stdout(relay), "3 log entries could not be written"), 1u);
    EXPECT_EQ(count_occurrences(text, entry), 1u);
    EXPECT_EQ(count_occurrences(text, " [cut]\n"), 1u);
    // The cut entry, the report, then the entry that found room, each a line of its own.
    size_t cut = text.rfind("xx]\n") + 4;
    EXPECT_EQ(text.find(" [cut]\n", cut) - cut, 40u);
    EXPECT_LT(text.find(lost, cut), text.find(entry, cut));
    for (size_t line = 0; line < text.size(); line = text.find('\n', line) + 1)
        EXPECT_EQ(text[line], '[') << text.substr(line, 80);
    EXPECT_EQ(metric("mirevo_log_write_failures_total"), 3);
}

// A refused push target is redialled with back-off; a busy source port is retried.
TEST_F(hostile, refusing_remote_is_redialled_with_back_off_and_busy_port_is_retried)
{
    std::string remote_dir = make_temp_dir();
    int remote_port = free_udp_port();
    write_text_file(remote_dir + "/mirevo-config.json",
                    "{\"100\":{\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                        srt_url("", remote_port) + "?streamid=right" + "\",\"targets\":{}}}");
    relay_process_t remote = start_relay(remote_dir);
    ASSERT_TRUE(wait_http_ready(remote.http_port, 10000));
    ASSERT_EQ(
        http_request(remote.http_port, "GET", api_target("/api/endpoints", remote.api_key)).body,
        "{\"100\":{\"source\":\"open\",\"targets\":{}}}");

    // A plain UDP socket holds the port the second route wants to listen on.
    int busy_port = free_udp_port();
    int holder = hold_port(busy_port, SOCK_DGRAM);
    ASSERT_NE(holder, -1);
    std::string push = "srt://127.0.0.1:" + std::to_string(remote_port) + "?streamid=";
    write_text_file(dir + "/mirevo-config.json",
                    "{\"101\":{\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                        srt_url("", busy_port) +
                        "\",\"targets\":{}},\"100\":{\"enabled\":1,\"mode\":\"listen\",\"url\":\"" +
                        srt_url("", free_udp_port()) +
                        "\",\"targets\":{\"1000\":{\"enabled\":1,\"mode\":\"push\",\"url\":\"" +
                        push + "wrong\"}}}}");
    start();
    EXPECT_EQ(metric("mirevo_endpoint_up{route=\"101\"}"), 0);
    EXPECT_NE(get_body("/api/endpoints").find("\"101\":{\"source\":\"retrying\""),
              std::string::npos);
    close(holder);
    EXPECT_TRUE(wait_until([&] { return metric("mirevo_endpoint_up{route=\"101\"}") == 1; }, 6000));
    EXPECT_NE(caller(busy_port), -1);

    sleep(3);
    double descriptors = metric("process_open_fds");
    sleep(4);
    double refused = metric_of(
        remote,
        "mirevo_connections_rejected_total{route=\"100\",side=\"source\",reason=\"streamid\"}");
    EXPECT_GE(refused, 2);
    EXPECT_LE(refused, 6) << "dials in about 8 s";
    EXPECT_LE(metric("process_open_fds"), descriptors + 1);
    EXPECT_GE(wait_relay_count(relay, "refused (reject 1403", 2, 5000), 2u) << relay_stdout(relay);

    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000",
                   "enabled=1&mode=push&url=" + url_encode(push + "right"))
                  .body,
              "Ok");
    EXPECT_TRUE(wait_until(
        [&] {
            return http_request(remote.http_port, "GET",
                                api_target("/api/active_routes", remote.api_key))
                       .body == "[100]";
        },
        3000));
    stop_relay(remote);
    remove_tree(remote_dir);
}

} // namespace
