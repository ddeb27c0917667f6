// The relay as a production host treats it: a stalled console, a full or read-only disk, a
// slow disk, a refusing remote, a port busy at start.
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

class hostile : public http_relay_fixture
{
  protected:
    hostile()
    {
        start_at_set_up = false;
    }
    void TearDown() override
    {
        if (mounted_.size() > 0)
            umount2(mounted_.c_str(), MNT_DETACH);
        http_relay_fixture::TearDown();
    }
    std::string mounted_;
};

// A console that blocks for good stalls neither API, stream nor libsrt's handshake gate;
// entries that do not fit the queue are counted and reported once it drains.
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
    EXPECT_GT(metric(("mirevo_log_lines_dropped_total")), 0);

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

// On a full, then a read-only disk every change is answered 555 and changes nothing: file
// and API agree, and a restart keeps what was confirmed.
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
    // Switched on as stored, a target needs a URL that parses before its save is tried.
    ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000",
                   "enabled=0&mode=listen&url=" + url_encode(srt_url("", free_udp_port())))
                  .body,
              "Ok");
    std::string confirmed = get_body("/api/all_info");
    ASSERT_EQ(read_text_file(config), confirmed);

    // Fill the disk to the last block.
    int filler = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    char block[4096] = {};
    while (write(filler, block, sizeof block) > 0) {
    }
    close(filler);
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

// fsync takes 3 s: a subscriber arriving meanwhile is served while the edit waits. SIGTERM
// mid-save leaves no copy of the route file (nor its passphrases), nor does a killed relay.
TEST_F(hostile, slow_disk_stalls_only_the_edit_and_sigterm_mid_save_leaves_no_copy)
{
    int source_port = free_udp_port(), target_port = free_udp_port();
    write_text_file(dir + "/mirevo-config.json", route_file("listen", srt_url("", source_port),
                                                            "listen", srt_url("", target_port)));
    write_text_file(dir + "/mirevo-config.json.saving-Ab3dE9", "{\"passphrase\":\"x\"}");
    write_text_file(dir + "/mirevo-config.json.backup", "kept");
    std::string marker = dir + "/fsync-waiting";
    start({{"LD_PRELOAD", SLOW_FSYNC_SHIM},
           {"ASAN_OPTIONS", "verify_asan_link_order=0"},
           {"MIREVO_TEST_FSYNC_DELAY_MS", "3000"},
           {"MIREVO_TEST_FSYNC_MARKER", marker}});
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

// A refused push target is dialled after growing pauses with descriptors flat; a source
// whose port is busy at start listens once it is free.
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
    EXPECT_GE(count_occurrences(relay_stdout(relay), "refused (reject 1403"), 2u)
        << relay_stdout(relay);

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
