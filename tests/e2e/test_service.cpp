// The relay as a network service: start failures, descriptor floods, HTTPS and certificate reloads.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <srt/srt.h>

#include "http_client.h"

namespace
{

const int MESSAGE_SIZE = 1316;

// Runs a command to its end (10 s at most); its exit status, -1 when it hung.
int run_command(const std::vector<std::string> &argv, const std::string &dir,
                const std::string &name)
{
    child_process_t child =
        spawn_process(argv, {}, dir + "/" + name + ".out", dir + "/" + name + ".err");
    if (!wait_process(child, 10000)) {
        stop_process(child, SIGKILL, 5000);
        return -1;
    }
    return child.status;
}

// A test CA in dir and two server pairs it signed for 127.0.0.1: a.pem/a.key (EC) and
// b.pem/b.key (RSA, so a reload also changes the key type).
bool make_test_pki(const std::string &dir)
{
    write_text_file(dir + "/san.ext", "subjectAltName=IP:127.0.0.1\n");
    const std::string ec = "ec", rsa = "rsa:2048";
    const std::vector<std::vector<std::string>> steps = {
        {"openssl", "req", "-x509", "-newkey", ec, "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", dir + "/ca.key", "-out", dir + "/ca.pem", "-subj",
         "/CN=mirevo test CA", "-days", "2"},
        {"openssl", "req", "-newkey", ec, "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", dir + "/a.key", "-out", dir + "/a.csr", "-subj", "/CN=a"},
        {"openssl", "req", "-newkey", rsa, "-nodes", "-keyout", dir + "/b.key", "-out",
         dir + "/b.csr", "-subj", "/CN=b"},
    };
    for (const auto &step : steps)
        if (run_command(step, dir, "openssl") != 0)
            return false;
    for (const std::string name : {"a", "b"}) {
        if (run_command({"openssl", "x509", "-req", "-in", dir + "/" + name + ".csr", "-CA",
                         dir + "/ca.pem", "-CAkey", dir + "/ca.key", "-CAcreateserial", "-out",
                         dir + "/" + name + ".pem", "-days", "2", "-extfile", dir + "/san.ext"},
                        dir, "openssl") != 0)
            return false;
    }
    return true;
}

// Copies a pair to the paths the relay was given, as a renewal would.
void install_pair(const std::string &dir, const std::string &cert, const std::string &key)
{
    write_text_file(dir + "/cert.pem.new", read_text_file(dir + "/" + cert));
    write_text_file(dir + "/key.pem.new", read_text_file(dir + "/" + key));
    rename((dir + "/cert.pem.new").c_str(), (dir + "/cert.pem").c_str());
    rename((dir + "/key.pem.new").c_str(), (dir + "/key.pem").c_str());
}

// CPU seconds (user and system) the process has used so far.
double cpu_seconds(pid_t pid)
{
    std::istringstream stat(read_text_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; i++)
        if (i == 14 || i == 15)
            ticks += atof(field.c_str());
    return ticks / (double)sysconf(_SC_CLK_TCK);
}

class service : public http_relay_fixture
{
  protected:
    service()
    {
        start_at_set_up = false;
    }
    void start_tls()
    {
        ASSERT_TRUE(make_test_pki(dir)) << read_text_file(dir + "/openssl.err");
        install_pair(dir, "a.pem", "a.key");
        start({{"MIREVO_TLS_CERT", dir + "/cert.pem"}, {"MIREVO_TLS_KEY", dir + "/key.pem"}});
    }
    // The fingerprint a new TLS connection is shown, "" when none could be made.
    std::string served_fingerprint()
    {
        http_connection_t connection;
        std::string fingerprint;
        if (http_connect_tls(connection, relay.http_port, dir + "/ca.pem"))
            fingerprint = tls_peer_fingerprint(connection);
        http_disconnect(connection);
        return fingerprint;
    }
    http_response_t tls_call(const std::string &method, const std::string &path,
                             const std::string &query = "")
    {
        http_connection_t connection;
        http_response_t response;
        if (http_connect_tls(connection, relay.http_port, dir + "/ca.pem"))
            response = http_exchange(connection, method, api_target(path, relay.api_key, query));
        http_disconnect(connection);
        return response;
    }
};

// A relay that cannot serve its API ends at once, with one line naming the port and the
// reason, before any route opens (it used to run on without an API). Each row starts one.
TEST_F(service, unusable_port_or_tls_pair_ends_the_start_with_one_line)
{
    ASSERT_TRUE(make_test_pki(dir)) << read_text_file(dir + "/openssl.err");
    int port = free_tcp_port();
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(holder, (struct sockaddr *)&addr, sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    const std::string prefix = "HTTP server cannot start on port ";
    const struct {
        std::string cert, key, reason;
        bool taken_port;
    } cases[] = {
        {"", "", std::to_string(port) + ": Address already in use", true},
        {dir + "/none.pem", dir + "/a.key",
         "cannot read the TLS certificate " + dir + "/none.pem: No such file or directory"},
        {dir + "/a.pem", dir + "/none.key",
         "cannot read the TLS key " + dir + "/none.key: No such file or directory"},
        {dir + "/a.key", dir + "/a.key", "no PEM certificate in " + dir + "/a.key"},
        {dir + "/a.pem", dir + "/a.pem",
         "no PEM private key without passphrase in " + dir + "/a.pem"},
        {dir + "/a.pem", dir + "/b.key",
         "the TLS key " + dir + "/b.key does not belong to the certificate " + dir + "/a.pem"},
        {dir + "/a.pem", "", "MIREVO_TLS_CERT and MIREVO_TLS_KEY must be set together"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        std::map<std::string, std::string> env = {{"MIREVO_TLS_CERT", c.cert},
                                                  {"MIREVO_TLS_KEY", c.key}};
        if (c.taken_port)
            env["MIREVO_HTTP_PORT"] = std::to_string(port);
        relay = start_relay(dir, env);
        ASSERT_TRUE(wait_process(relay.child, 10000)) << "the relay runs on without its API";
        EXPECT_EQ(relay.child.status, 1);
        std::string out = relay_stdout(relay);
        EXPECT_EQ(count_occurrences(out, prefix), 1u) << out;
        EXPECT_NE(out.find(c.reason + "\n"), std::string::npos) << out;
        EXPECT_EQ(read_text_file(relay.child.err_path), "");
    }
    close(holder);
}

// With 64 descriptors, 200 clients that trickle header bytes used to make the HTTP thread
// spin on accept failures (errno 24) and print a line for each. Connections are now capped
// below the limit, which the relay first raises to the hard one; headers must come within
// 5 s; the API answers again as soon as the flood ends.
TEST_F(service, descriptor_flood_neither_spins_nor_floods_the_log)
{
    relay = start_relay(dir, {}, {"prlimit", "--nofile=48:64", "--"});
    ASSERT_TRUE(wait_http_ready(relay.http_port, 15000));
    std::string limits = read_text_file("/proc/" + std::to_string(relay.child.pid) + "/limits");
    EXPECT_NE(limits.find("Max open files            64                   64"), std::string::npos)
        << limits;

    std::vector<int> clients;
    for (int i = 0; i < 200; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        struct sockaddr_in addr = {
            AF_INET, htons((uint16_t)relay.http_port), {htonl(INADDR_LOOPBACK)}, {}};
        connect(fd, (struct sockaddr *)&addr, sizeof addr);
        clients.push_back(fd);
    }
    const std::string head = "GET /api/routes HTTP/1.1\r\nX-Trickle: ";
    double cpu_before = cpu_seconds(relay.child.pid);
    auto started = std::chrono::steady_clock::now();
    int closed_by_relay = 0;
    for (int round = 0; round < 35; round++) { // 7 s, a byte every 200 ms
        for (int &fd : clients) {
            char byte;
            if (fd >= 0 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
                closed_by_relay++;
                close(fd);
                fd = -1;
            } else if (fd >= 0) {
                send(fd, round == 0 ? head.data() : "a", round == 0 ? head.size() : 1,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
        usleep(200 * 1000);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double cpu = cpu_seconds(relay.child.pid) - cpu_before;
    EXPECT_GT(closed_by_relay, 0) << "no client was cut off for its endless header";
    for (int fd : clients)
        if (fd >= 0)
            close(fd);

    EXPECT_TRUE(wait_until([&] { return call("GET", "/api/routes").body == "{}"; }, 5000));
    EXPECT_LT(cpu, seconds / 2) << "the relay spun: " << cpu << " s of CPU in " << seconds << " s";
    std::string output = relay_stdout(relay) + read_text_file(relay.child.err_path);
    EXPECT_LE(count_occurrences(output, "accept"), 9u) << output.substr(0, 2000);
}

// HTTPS only, TLS 1.2 and 1.3 only, the dashboard and the API as curl sees them with the
// test CA; a plain HTTP request gets no answer.
TEST_F(service, tls_port_serves_https_only)
{
    start_tls();
    const std::string base = "https://127.0.0.1:" + std::to_string(relay.http_port);
    const struct {
        std::vector<std::string> options;
        std::string path;
        int status; // curl's exit status
        std::string out;
    } cases[] = {
        {{}, "/api/routes", 0, "200 {}"},
        {{"--tlsv1.2", "--tls-max", "1.2"}, "/api/all_info", 0, "200 {}"},
        {{"--tlsv1.3"}, "/api/active_routes", 0, "200 []"},
        {{"--tls-max", "1.1"}, "/api/routes", 35, "000 "},
        {{"-o", "/dev/null"}, "/", 0, "200 "},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {
            "curl",     "-sS",           "-m", "10",
            "--cacert", dir + "/ca.pem", "-H", "Authorization: Bearer " + relay.api_key,
            "-w",       "%{http_code} "};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back(base + c.path);
        EXPECT_EQ(run_command(argv, dir, "curl"), c.status) << read_text_file(dir + "/curl.err");
        std::string out = read_text_file(dir + "/curl.out");
        // The status goes after the body; put it first.
        size_t at = out.rfind(c.status == 0 ? "200 " : "000 ");
        std::string shown = at == std::string::npos ? out : out.substr(at) + out.substr(0, at);
        EXPECT_EQ(shown, c.out) << c.path;
    }
    http_response_t plain = call("GET", "/api/routes");
    EXPECT_EQ(plain.status, -1) << plain.body;
}

// A stream flows while a renewed pair of another key type is installed and SIGHUP sent:
// new connections get it, a kept-alive API connection serves on with the old one, and the
// stream arrives whole. A pair that does not belong together is refused with one line and
// the served certificate stays.
TEST_F(service, sighup_reloads_the_pair_without_touching_streams_or_connections)
{
    start_tls();
    const std::string a = pem_fingerprint(dir + "/a.pem"), b = pem_fingerprint(dir + "/b.pem");
    ASSERT_FALSE(a.empty() || b.empty() || a == b);
    int source_port = free_udp_port(), target_port = free_udp_port();
    for (const auto &request : std::vector<std::pair<std::string, std::string>>{
             {"POST /api/routes/route", ""},
             {"PUT /api/routes/100/source",
              "enabled=1&mode=listen&url=" +
                  url_encode("srt://127.0.0.1:" + std::to_string(source_port))},
             {"POST /api/routes/100/targets", ""},
             {"PUT /api/routes/100/targets/1000",
              "enabled=1&mode=listen&url=" +
                  url_encode("srt://127.0.0.1:" + std::to_string(target_port))}}) {
        size_t blank = request.first.find(' ');
        ASSERT_EQ(tls_call(request.first.substr(0, blank), request.first.substr(blank + 1),
                           request.second)
                      .status,
                  200)
            << request.first;
    }
    int subscriber = srt_open_caller(target_port);
    int publisher = srt_open_caller(source_port);
    ASSERT_NE(subscriber, -1);
    ASSERT_NE(publisher, -1);
    ASSERT_TRUE(wait_until(
        [&] { return tls_call("GET", "/api/routes/100/active_targets").body == "[1000]"; }, 10000));

    const int total = 400; // 4 s at 100 messages a second
    std::atomic<int> received{0}, out_of_order{0};
    std::thread receiver([&] {
        char buf[1500];
        int timeout = 3000;
        srt_setsockflag(subscriber, SRTO_RCVTIMEO, &timeout, sizeof timeout);
        for (int expected = 0; expected < total; expected++) {
            int length = srt_recvmsg(subscriber, buf, sizeof buf);
            if (length < 0)
                break;
            int seq = 0;
            memcpy(&seq, buf, sizeof seq);
            out_of_order += (seq != expected || length != MESSAGE_SIZE);
            received++;
        }
    });
    std::thread sender([&] {
        char message[MESSAGE_SIZE] = {};
        for (int seq = 0; seq < total; seq++) {
            memcpy(message, &seq, sizeof seq);
            srt_sendmsg(publisher, message, MESSAGE_SIZE, -1, 1);
            usleep(10 * 1000);
        }
    });

    http_connection_t kept;
    ASSERT_TRUE(http_connect_tls(kept, relay.http_port, dir + "/ca.pem"));
    EXPECT_EQ(http_exchange(kept, "GET", api_target("/api/routes", relay.api_key)).status, 200);
    EXPECT_EQ(tls_peer_fingerprint(kept), a);
    install_pair(dir, "b.pem", "b.key");
    kill(relay.child.pid, SIGHUP);
    EXPECT_TRUE(wait_until([&] { return served_fingerprint() == b; }, 5000));
    EXPECT_EQ(http_exchange(kept, "GET", api_target("/api/routes", relay.api_key)).body,
              "{\"100\":{\"enabled\":1}}");
    EXPECT_EQ(tls_peer_fingerprint(kept), a);
    http_disconnect(kept);

    install_pair(dir, "a.pem", "b.key");
    kill(relay.child.pid, SIGHUP);
    EXPECT_TRUE(wait_relay_output(relay, "TLS certificate not reloaded", 5000));
    EXPECT_EQ(served_fingerprint(), b);
    sender.join();
    receiver.join();
    EXPECT_EQ(received, total);
    EXPECT_EQ(out_of_order, 0);
    std::string out = relay_stdout(relay);
    EXPECT_EQ(count_occurrences(out, "TLS certificate reloaded from " + dir + "/cert.pem\n"), 1u);
    EXPECT_EQ(count_occurrences(out, "TLS certificate not reloaded, the one in use stays: the "
                                     "TLS key " +
                                         dir +
                                         "/key.pem does not belong to the "
                                         "certificate " +
                                         dir + "/cert.pem\n"),
              1u)
        << out;
    srt_close(publisher);
    srt_close(subscriber);
}

} // namespace
