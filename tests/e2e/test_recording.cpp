// Recording targets: keyframe cuts, a full disk, retention, SIGTERM and the two endpoints.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <srt/srt.h>

#include "http_client.h"

namespace
{

std::string shell_output(const std::string &command)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    char piece[4096];
    size_t got = 0;
    while (pipe != nullptr && (got = fread(piece, 1, sizeof piece, pipe)) > 0)
        out.append(piece, got);
    if (pipe != nullptr)
        pclose(pipe);
    return out;
}

// What ffprobe says of one segment.
struct probe_t {
    bool starts_with_keyframe;
    double seconds;
    size_t continuity_errors;
};

probe_t probe(const std::string &file)
{
    std::string frames = shell_output("ffprobe -v error -select_streams v:0 -read_intervals %+#1 "
                                      "-show_entries frame=key_frame -of csv=p=0 '" +
                                      file + "'");
    std::string duration =
        shell_output("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'");
    std::string debug = shell_output("ffprobe -v debug '" + file + "' 2>&1");
    return {frames.rfind("1", 0) == 0, atof(duration.c_str()),
            count_occurrences(debug, "Continuity check failed")};
}

// Names in folder ending with suffix, sorted (segment names sort by time).
std::vector<std::string> files_ending(const std::string &folder, const std::string &suffix)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Every byte a subscriber of the route receives, until stopped.
struct collector_t {
    int sock;
    std::atomic<bool> running{true};
    std::atomic<size_t> size{0};
    std::string bytes;
    std::thread thread;
    explicit collector_t(int sock) : sock(sock)
    {
        int timeout = 200;
        srt_setsockflag(sock, SRTO_RCVTIMEO, &timeout, sizeof timeout);
        thread = std::thread([this] {
            char message[1500];
            while (running) {
                int got = srt_recvmsg(this->sock, message, sizeof message);
                if (got > 0)
                    size = bytes.append(message, (size_t)got).size();
            }
        });
    }
    std::string stop()
    {
        running = false;
        if (thread.joinable())
            thread.join();
        return bytes;
    }
    ~collector_t() { stop(); }
};

class recording : public http_relay_fixture
{
  protected:
    void TearDown() override
    {
        if (!mounted.empty())
            umount2(mounted.c_str(), MNT_DETACH);
        http_relay_fixture::TearDown();
    }
    // Route 100: source listening on source_port, target 1000 a subscriber port,
    // target 1001 recording with url.
    void record_route(const std::string &url)
    {
        create_routes(1);
        ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
        ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
        ASSERT_EQ(call("PUT", "/api/routes/100/targets/1000", listen_query(target_port)).status,
                  200);
        ASSERT_EQ(call("PUT", "/api/routes/100/targets/1001",
                       "enabled=1&mode=push&url=" + url_encode(url))
                      .body,
                  "Ok");
        ASSERT_EQ(call("PUT", "/api/routes/100/source", listen_query(source_port)).status, 200);
    }
    // A test picture of seconds, a keyframe each 12 frames (0.48 s), sent in real time.
    child_process_t &send_picture(int seconds)
    {
        std::string file = dir + "/picture.ts";
        shell_output("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t " +
                     std::to_string(seconds) + " -c:v libx264 -preset ultrafast -g 12 -f mpegts '" +
                     file + "'");
        return run(
            "ffmpeg",
            {"ffmpeg", "-v", "error", "-re", "-i", file, "-c", "copy", "-f", "mpegts",
             "srt://127.0.0.1:" + std::to_string(source_port) + "?mode=caller&pkt_size=1316"});
    }
    int source_port = free_udp_port();
    int target_port = free_udp_port();
    std::string mounted;
};

// Refused with the reason, nothing saved; a good one makes its folder 0750.
TEST_F(recording, file_urls_are_checked_and_the_folder_made_before_anything_changes)
{
    write_text_file(dir + "/plain", "x");
    create_routes(1);
    ASSERT_EQ(call("POST", "/api/routes/100/targets").status, 200);
    const std::vector<call_case_t> refused = {
        {"PUT", "/api/routes/100/targets/1000", "url=file:///x?segment=1", 555,
         "{\"error\":\"Invalid URL: segment must be a whole number from 2 to 3600\"}"},
        {"PUT", "/api/routes/100/targets/1000", "url=file://x", 555,
         "{\"error\":\"Invalid URL: a file:// url names an absolute folder (file:///path)\"}"},
        {"PUT", "/api/routes/100/targets/1000", "url=file:///x?keep=1%26lifetime=2", 555,
         "{\"error\":\"Invalid URL: unknown option lifetime\"}"},
        {"PUT", "/api/routes/100/targets/1000", "url=file://" + dir + "/plain/sub", 555,
         "{\"error\":\"recording folder " + dir +
             "/plain/sub cannot be created: Not a directory\"}"},
        {"PUT", "/api/routes/100/source", "url=file://" + dir, 555,
         "{\"error\":\"Invalid URL: a file:// url records a route: it is for targets only\"}"},
    };
    std::string before = get_body("/api/all_info");
    for (call_case_t row : refused) {
        row.query = "enabled=1&mode=push&" + row.query;
        expect_calls({row});
    }
    EXPECT_EQ(get_body("/api/all_info"), before);
    EXPECT_EQ(call("PUT", "/api/routes/100/targets/1000",
                   "enabled=1&mode=push&url=" + url_encode("file://" + dir + "/a/b?keep=3"))
                  .body,
              "Ok");
    EXPECT_EQ(file_mode(dir + "/a") & 0777, 0750u);
    EXPECT_EQ(file_mode(dir + "/a/b") & 0777, 0750u);
}

// 12 s with segment=3: three closed segments cut on keyframes, whole, served
// as they are; the open one closes at SIGTERM and all four hold the stream.
TEST_F(recording, segments_start_on_keyframes_hold_every_message_and_are_served_whole)
{
    std::string folder = dir + "/rec";
    record_route("file://" + folder + "?segment=3");
    collector_t subscriber(caller(target_port));
    child_process_t &sender = send_picture(12);
    ASSERT_TRUE(wait_process(sender, 60000));
    std::string listed;
    ASSERT_TRUE(wait_until(
        [&] {
            listed = get_body("/api/recordings", "route_id=100&target_id=1001");
            return count_occurrences(listed, "\"name\"") == 3;
        },
        10000))
        << listed;
    std::vector<std::string> closed = files_ending(folder, ".ts");
    ASSERT_EQ(closed.size(), 3u);
    EXPECT_EQ(files_ending(folder, ".ts.part").size(), 1u);
    for (const std::string &name : closed) {
        probe_t found = probe(folder + "/" + name);
        EXPECT_TRUE(found.starts_with_keyframe) << name;
        EXPECT_NEAR(found.seconds, 3.0, 1.0) << name;
        EXPECT_EQ(found.continuity_errors, 0u) << name;
        EXPECT_NE(listed.find("{\"name\":\"" + name + "\""), std::string::npos) << listed;
        http_response_t got = call("GET", "/api/recordings/100/1001/" + name);
        EXPECT_EQ(got.status, 200);
        EXPECT_EQ(got.content_type, "video/mp2t");
        EXPECT_TRUE(got.body == read_text_file(folder + "/" + name)) << name;
    }
    // Start and end are the first and last message's seconds.
    json_t *list = parse_json_body(listed);
    for (size_t i = 0; i < json_array_size(list); i++)
        EXPECT_NEAR(json_integer_value(json_object_get(json_array_get(list, i), "seconds")), 3, 1)
            << listed;
    json_decref(list);
    std::string first = read_text_file(folder + "/" + closed[0]);
    http_response_t part = http_request(
        relay.http_port, "GET", api_target("/api/recordings/100/1001/" + closed[0], relay.api_key),
        "", 20000, "Range: bytes=1000-2879\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.headers["content-range"], "bytes 1000-2879/" + std::to_string(first.size()));
    EXPECT_TRUE(part.body == first.substr(1000, 1880));
    // Nothing but a closed segment of that target's folder.
    for (const std::string &trick : std::vector<std::string>{
             closed[0] + ".part", "..%2F..%2Fmirevo-config.json", "%2Fetc%2Fpasswd", "/etc/passwd",
             "../1000/" + closed[0], "..%2Frec%2F" + closed[0], "20991231-235959Z.ts"})
        EXPECT_EQ(call("GET", "/api/recordings/100/1001/" + trick).status, 404) << trick;
    EXPECT_EQ(call("GET", "/api/recordings/100/1000/" + closed[0]).status, 404);

    stop_relay(relay);
    EXPECT_EQ(files_ending(folder, ".part").size(), 0u);
    std::string recorded;
    for (const std::string &name : files_ending(folder, ".ts"))
        recorded += read_text_file(folder + "/" + name);
    std::string sent = subscriber.stop();
    EXPECT_GT(sent.size(), 300000u);
    EXPECT_TRUE(recorded == sent) << recorded.size() << " bytes recorded, " << sent.size()
                                  << " sent";
}

// A full tmpfs drops for the recording alone, once in the log; freed, it goes on in a new file.
TEST_F(recording, full_disk_drops_only_the_recording_and_it_resumes_in_a_new_segment)
{
    std::string folder = dir + "/small";
    ASSERT_EQ(mkdir(folder.c_str(), 0750), 0);
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=128k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << ")";
    mounted = folder;
    record_route("file://" + folder + "?segment=2");
    collector_t subscriber(caller(target_port));
    child_process_t &sender = send_picture(14);
    ASSERT_GT(wait_metric("mirevo_recording_dropped_total{route=\"100\",target=\"1001\"}", 1), 0);
    double segments = metric("mirevo_recording_segments_total{route=\"100\",target=\"1001\"}");
    std::vector<std::string> before = files_ending(folder, ".ts");
    for (const std::string &name : before)
        unlink((folder + "/" + name).c_str());
    EXPECT_GT(
        wait_metric("mirevo_recording_segments_total{route=\"100\",target=\"1001\"}", segments + 1),
        segments);
    std::vector<std::string> after = files_ending(folder, ".ts");
    ASSERT_FALSE(after.empty());
    ASSERT_FALSE(before.empty());
    EXPECT_GT(after.front(), before.back());
    ASSERT_TRUE(wait_process(sender, 60000));
    double received = metric("mirevo_route_received_bytes_total{route=\"100\"}");
    EXPECT_TRUE(wait_until([&] { return (double)subscriber.size == received; }, 5000))
        << subscriber.size << " of " << received;
    EXPECT_EQ(metric("mirevo_target_packets_dropped_total{route=\"100\",target=\"1000\"}"), 0);
    // Once per episode: the disk may fill again after the space was freed.
    std::string log = relay_stdout(relay);
    size_t episodes = count_occurrences(log, "dropping until it can write again");
    EXPECT_GE(episodes, 1u);
    EXPECT_LE(episodes, count_occurrences(log, "writing again in") + 1);
    subscriber.stop();
}

// Retention by age and size spares the open file and foreign ones; SIGTERM closes the open one.
// The recording comes from the route file.
TEST_F(recording, retention_spares_open_and_foreign_files_and_sigterm_closes_the_segment)
{
    std::string folder = dir + "/kept";
    ASSERT_EQ(mkdir(folder.c_str(), 0750), 0);
    std::string block(100000, 'x');
    const std::vector<std::pair<std::string, bool>> files = {
        // name, kept
        {"20200101-000000Z.ts", false}, // old
        {"20200102-000000Z.ts", false}, // the oldest of the recent ones, beyond maxbytes
        {"20200103-000000Z.ts", true},
        {"20200104-000000Z.ts", true},
        {"notes.ts", true},                 // not a name the recorder writes
        {"20200105-000000Z.ts.part", true}, // left open by someone else
    };
    for (const auto &file : files)
        write_text_file(folder + "/" + file.first, block);
    for (const char *old : {"20200101-000000Z.ts", "notes.ts", "20200105-000000Z.ts.part"})
        shell_output("touch -d '3 days ago' '" + folder + "/" + old + "'");
    const std::string url = "file://" + folder + "?segment=10&keep=1&maxbytes=250000";
    restart_with(route_file("listen", srt_url("", source_port), "push", url));
    send_picture(20);
    ASSERT_TRUE(wait_until(
        [&] { return access((folder + "/20200102-000000Z.ts").c_str(), F_OK) != 0; }, 15000));
    for (const auto &file : files)
        EXPECT_EQ(access((folder + "/" + file.first).c_str(), F_OK) == 0, file.second)
            << file.first;
    std::vector<std::string> open = files_ending(folder, ".ts.part");
    ASSERT_EQ(open.size(), 2u);
    std::string ours = open[1].substr(0, open[1].size() - 5);
    struct stat info = {};
    ASSERT_TRUE(wait_until(
        [&] { return stat((folder + "/" + open[1]).c_str(), &info) == 0 && info.st_size > 60000; },
        10000));

    stop_relay(relay);
    EXPECT_EQ(files_ending(folder, ".ts.part"),
              std::vector<std::string>{"20200105-000000Z.ts.part"});
    probe_t closed = probe(folder + "/" + ours);
    EXPECT_TRUE(closed.starts_with_keyframe);
    EXPECT_GT(closed.seconds, 0.5);
    EXPECT_EQ(closed.continuity_errors, 0u);
}

} // namespace
