// The relay as a network service: start failures, descriptor floods, HTTPS and certificate reloads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <srt/srt.h>

#include "http_client.h"

namespace
{

// Runs a command to its end (30 s at most); its exit status, -1 when it hung.
int run_command(const std::vector<std::string> &argv, const std::string &dir)
{
    child_process_t child = spawn_process(argv, {}, dir + "/command.out", dir + "/command.err");
    if (!wait_process(child, 30000))
        stop_process(child, SIGKILL, 5000);
    return child.status;
}

// A CA, pairs a (EC) and b (RSA), c signed by intermediate mid, and forged (c, bad signature).
const char make_test_pki[] = R"pki(set -e
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key \
  -out ca.pem -subj '/CN=mirevo test CA' -days 2
for n in a c mid; do
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $n.key -out $n.csr \
    -subj /CN=$n
done
openssl req -newkey rsa:2048 -nodes -keyout b.key -out b.csr -subj /CN=b
echo subjectAltName=IP:127.0.0.1 > san.ext
printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\n' > mid.ext
openssl x509 -req -in mid.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out mid.pem -days 2 \
  -extfile mid.ext
for n in a b; do
  openssl x509 -req -in $n.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out $n.pem -days 2 \
    -extfile san.ext
done
openssl x509 -req -in c.csr -CA mid.pem -CAkey mid.key -CAcreateserial -out c.pem -days 2 \
  -extfile san.ext
openssl x509 -in c.pem -outform DER -out c.der
last=$(tail -c 1 c.der | od -An -tu1 | tr -d ' ')
head -c -1 c.der > forged.der
printf "\\$(printf '%03o' $(( (last + 1) % 256 )))" >> forged.der
openssl x509 -inform DER -in forged.der -out forged.pem)pki";

// CPU seconds (user and system) the process has used so far.
double cpu_seconds(pid_t pid)
{
    std::istringstream stat(read_text_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; i++)
        ticks += i >= 14 ? atof(field.c_str()) : 0;
    return ticks / (double)sysconf(_SC_CLK_TCK);
}

class service : public idle_relay_fixture
{
  protected:
    void make_pki()
    {
        ASSERT_EQ(run_command({"sh", "-c", "cd '" + dir + "' && " + make_test_pki}, dir), 0)
            << read_text_file(dir + "/command.err");
    }
    // Puts a pair where the relay reads it, whole files at once, as a renewal does.
    void install_pair(const std::string &cert, const std::string &key)
    {
        install_files(read_text_file(dir + "/" + cert), key);
    }
    void install_files(const std::string &cert_text, const std::string &key)
    {
        for (const auto &file : {std::make_pair(cert_text, "cert.pem"),
                                 std::make_pair(read_text_file(dir + "/" + key), "key.pem")}) {
            write_text_file(dir + "/new", file.first);
            rename((dir + "/new").c_str(), (dir + "/" + file.second).c_str());
        }
    }
    void start_tls()
    {
        install_pair("a.pem", "a.key");
        start({{"MIREVO_TLS_CERT", dir + "/cert.pem"}, {"MIREVO_TLS_KEY", dir + "/key.pem"}});
    }
    // The fingerprint a new TLS connection is shown, "" when none could be made.
    std::string served_fingerprint()
    {
        http_connection_t connection;
        http_connect_tls(connection, relay.http_port, dir + "/ca.pem");
        std::string fingerprint = tls_peer_fingerprint(connection);
        http_disconnect(connection);
        return fingerprint;
    }
};

// A relay that cannot serve its API exits at once with one line, before any route opens.
TEST_F(service, unusable_port_or_tls_pair_ends_the_start_with_one_line)
{
    make_pki();
    int port = free_tcp_port();
    int holder = hold_port(port, SOCK_STREAM);
    ASSERT_NE(holder, -1);
    const std::string a = dir + "/a.pem", a_key = dir + "/a.key", none = dir + "/none";
    const std::string cut = dir + "/cut.pem", mid = read_text_file(dir + "/mid.pem");
    write_text_file(cut, read_text_file(dir + "/c.pem") + mid.substr(0, mid.size() / 2));
    const struct {
        std::string cert, key, reason;
    } cases[] = {
        {"", "", std::to_string(port) + ": Address already in use"}, // on the taken port
        {none, a_key, "cannot read the TLS certificate " + none + ": No such file or directory"},
        {a, none, "cannot read the TLS key " + none + ": No such file or directory"},
        {a_key, a_key, "no PEM certificate in " + a_key},
        {a, a, "no PEM private key without passphrase in " + a},
        {a, dir + "/b.key",
         "the TLS key " + dir + "/b.key does not belong to the certificate " + a},
        {a, "", "MIREVO_TLS_CERT and MIREVO_TLS_KEY must be set together"},
        {cut, dir + "/c.key", "block 2 of the TLS certificate " + cut + " is cut or damaged"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        std::map<std::string, std::string> env = {{"MIREVO_TLS_CERT", c.cert},
                                                  {"MIREVO_TLS_KEY", c.key}};
        if (c.cert.empty())
            env["MIREVO_HTTP_PORT"] = std::to_string(port);
        relay = start_relay(dir, env);
        ASSERT_TRUE(wait_process(relay.child, 10000)) << "the relay runs on without its API";
        EXPECT_EQ(relay.child.status, 1);
        std::string out = relay_stdout(relay);
        EXPECT_EQ(count_occurrences(out, "HTTP server cannot start on port "), 1u) << out;
        EXPECT_NE(out.find(c.reason + "\n"), std::string::npos) << out;
    }
    close(holder);
}

// 10,000 routes start under a task limit of 200 (a thread per route once failed).
TEST_F(service, ten_thousand_routes_start_under_a_task_limit_of_200)
{
    // 2,000 routes also outnumber the limit, and load in seconds under a sanitizer.
    const int ports = 10, routes = SANITIZED ? 2000 : 10000;
    std::vector<int> source_ports, target_ports;
    for (int i = 0; i < ports; i++) {
        source_ports.push_back(free_udp_port());
        target_ports.push_back(free_udp_port());
    }
    write_text_file(dir + "/mirevo-config.json",
                    shared_port_routes(routes, source_ports, target_ports));
    // The relay runs as nobody, whose task count the limit bounds (root's is not).
    chmod(dir.c_str(), 0777);
    chmod((dir + "/mirevo-config.json").c_str(), 0666);
    relay = start_relay(dir, {},
                        {"prlimit", "--nproc=200:200", "setpriv", "--reuid=65534", "--regid=65534",
                         "--clear-groups", "--"});
    if (!wait_http_ready(relay.http_port, 60000) &&
        relay_stdout(relay).find("setpriv") != std::string::npos)
        GTEST_SKIP() << "cannot run the relay as another user here: " << relay_stdout(relay);
    // The API answers once the load is done (tens of seconds in a sanitizer tree).
    std::string listed;
    EXPECT_TRUE(wait_until(
        [&] {
            listed = get_body("/api/routes");
            return count_occurrences(listed, "\"enabled\":1") == (size_t)routes;
        },
        120000))
        << listed.substr(0, 200);
    int tasks = (int)std::distance(
        std::filesystem::directory_iterator("/proc/" + std::to_string(relay.child.pid) + "/task"),
        {});
    EXPECT_LT(tasks, 60) << "threads grow with routes";
    // The last route serves: its publisher reaches its player.
    const std::string last = "cam" + std::to_string(routes - 1);
    int player = caller(target_ports[(routes - 1) % ports], last);
    int publisher = caller(source_ports[(routes - 1) % ports], last);
    ASSERT_NE(player, -1);
    ASSERT_NE(publisher, -1);
    char message[MESSAGE_SIZE];
    fill_message(message, 7);
    EXPECT_TRUE(wait_until(
        [&] {
            srt_sendmsg(publisher, message, MESSAGE_SIZE, -1, 1);
            return receive_seq(player, 100) == 7;
        },
        10000));
}

// 200 header tricklers on 64 descriptors once made the HTTP thread spin and flood the log.
TEST_F(service, descriptor_flood_neither_spins_nor_floods_the_log)
{
    relay = start_relay(dir, {}, {"prlimit", "--nofile=48:64", "--"});
    ASSERT_TRUE(wait_http_ready(relay.http_port, 15000));
    EXPECT_NE(read_text_file("/proc/" + std::to_string(relay.child.pid) + "/limits")
                  .find("Max open files            64                   64"),
              std::string::npos);
    std::vector<int> clients;
    struct sockaddr_in addr = {
        AF_INET, htons((uint16_t)relay.http_port), {htonl(INADDR_LOOPBACK)}, {}};
    for (int i = 0; i < 200; i++) {
        clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(clients.back(), (struct sockaddr *)&addr, sizeof addr);
    }
    const std::string head = "GET /api/routes HTTP/1.1\r\nX-Trickle: ";
    double cpu_before = cpu_seconds(relay.child.pid);
    auto started = std::chrono::steady_clock::now();
    int cut_off = 0;
    for (int round = 0; round < 35; round++, usleep(200 * 1000)) { // 7 s, a byte every 200 ms
        for (int &fd : clients) {
            char byte;
            if (fd >= 0 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0) {
                cut_off++;
                close(fd);
                fd = -1;
            } else if (fd >= 0) {
                send(fd, round == 0 ? head.data() : "a", round == 0 ? head.size() : 1,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
            }
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double cpu = cpu_seconds(relay.child.pid) - cpu_before;
    EXPECT_GT(cut_off, 0) << "no client was cut off for its endless header";
    for (int fd : clients)
        if (fd >= 0)
            close(fd);
    EXPECT_TRUE(wait_until([&] { return call("GET", "/api/routes").body == "{}"; }, 5000));
    EXPECT_LT(cpu, seconds / 2) << "the relay spun: " << cpu << " s of CPU in " << seconds << " s";
    std::string output = relay_stdout(relay) + read_text_file(relay.child.err_path);
    EXPECT_LE(count_occurrences(output, "accept"), 9u) << output.substr(0, 2000);
}

// HTTPS only, TLS 1.2+; SIGHUP takes a renewed pair without touching streams or connections.
TEST_F(service, https_only_and_sighup_reloads_the_pair_without_touching_streams_or_connections)
{
    make_pki();
    int source_port = free_udp_port(), target_port = free_udp_port();
    write_text_file(dir + "/mirevo-config.json",
                    route_file("listen", "srt://127.0.0.1:" + std::to_string(source_port), "listen",
                               "srt://127.0.0.1:" + std::to_string(target_port)));
    start_tls();
    const struct {
        std::string option, value, path;
        int status; // curl's exit status
        std::string out;
    } cases[] = {
        {"--tlsv1.3", "--http1.1", "/api/routes", 0, "{\"100\":{\"enabled\":1}} 200"},
        {"--tls-max", "1.2", "/api/active_routes", 0, "[] 200"},
        {"--tls-max", "1.1", "/api/routes", 35, "000"},
        {"--output", "/dev/null", "/", 0, "200"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(
            run_command({"curl", "-sS", "-m", "10", "--cacert", dir + "/ca.pem", "-H",
                         "Authorization: Bearer " + relay.api_key, "-w", "%{http_code}", c.option,
                         c.value, "https://127.0.0.1:" + std::to_string(relay.http_port) + c.path},
                        dir),
            c.status)
            << read_text_file(dir + "/command.err");
        std::string out = read_text_file(dir + "/command.out");
        EXPECT_EQ(out.size() > 3 ? out.insert(out.size() - 3, " ") : out, c.out) << c.option;
    }
    EXPECT_EQ(call("GET", "/api/routes").status, -1) << "plain HTTP answered";

    int subscriber = srt_open_caller(target_port), publisher = srt_open_caller(source_port);
    ASSERT_NE(subscriber, -1);
    ASSERT_NE(publisher, -1);
    ASSERT_TRUE(wait_relay_output(relay, "[STATS 100->1000]", 10000)) << "no subscriber listed";

    std::vector<std::unique_ptr<peer_t>> receivers;
    receivers.emplace_back(new peer_t(subscriber));
    peer_t sender(publisher, 100);

    http_connection_t kept;
    const std::string routes = api_target("/api/routes", relay.api_key);
    ASSERT_TRUE(http_connect_tls(kept, relay.http_port, dir + "/ca.pem"));
    EXPECT_EQ(http_exchange(kept, "GET", routes).body, "{\"100\":{\"enabled\":1}}");
    const std::string a = tls_peer_fingerprint(kept);
    install_pair("b.pem", "b.key");
    kill(relay.child.pid, SIGHUP);
    std::string b;
    EXPECT_TRUE(wait_until([&] { return (b = served_fingerprint()) != a && !b.empty(); }, 5000));
    EXPECT_EQ(http_exchange(kept, "GET", routes).body, "{\"100\":{\"enabled\":1}}");
    EXPECT_EQ(tls_peer_fingerprint(kept), a);
    http_disconnect(kept);

    install_pair("a.pem", "b.key");
    kill(relay.child.pid, SIGHUP);
    EXPECT_TRUE(wait_relay_output(relay, "TLS certificate not reloaded", 5000));
    EXPECT_EQ(served_fingerprint(), b);
    expect_whole_stream(sender, receivers, 0);
    std::string out = relay_stdout(relay);
    EXPECT_EQ(count_occurrences(out, "TLS certificate reloaded from " + dir + "/cert.pem\n"), 1u);
    EXPECT_EQ(count_occurrences(
                  out, "TLS certificate not reloaded, the one in use stays: the TLS key " + dir +
                           "/key.pem does not belong to the certificate " + dir + "/cert.pem\n"),
              1u)
        << out;
    srt_close(publisher);
    srt_close(subscriber);
}

// SIGHUP takes a chain only when whole and built; otherwise the pair in use stays.
TEST_F(service, sighup_takes_a_chain_only_when_its_blocks_are_whole_and_it_builds)
{
    make_pki();
    start_tls();
    const std::string a = served_fingerprint();
    ASSERT_FALSE(a.empty());
    const std::string leaf = read_text_file(dir + "/c.pem"), mid = read_text_file(dir + "/mid.pem"),
                      root = read_text_file(dir + "/ca.pem"),
                      other = read_text_file(dir + "/b.pem"),
                      forged = read_text_file(dir + "/forged.pem");
    ASSERT_NE(forged, leaf);
    std::string damaged = mid;
    damaged[mid.size() / 2] = '*';
    const std::string cert = dir + "/cert.pem";
    const std::string cut = "block 2 of the TLS certificate " + cert + " is cut or damaged";
    const std::string breaks = "the chain in the TLS certificate " + cert + " breaks: certificate ";
    const std::string first = breaks + "2 did not issue certificate 1";
    const std::pair<std::string, std::string> cases[] = {
        {leaf + mid.substr(0, mid.size() / 2), cut},
        {leaf + mid.substr(0, mid.size() - 10), cut},
        {leaf + damaged + root, cut},
        {leaf + other, first},
        {forged + mid, first},
        {leaf + root + mid, first},
        {leaf + mid + other, breaks + "3 did not issue certificate 2"}};
    size_t refused = 0;
    for (const auto &[text, reason] : cases) {
        SCOPED_TRACE(reason);
        install_files(text, "c.key");
        kill(relay.child.pid, SIGHUP);
        refused++;
        std::string out;
        auto refused_again = [&] {
            out = relay_stdout(relay);
            return count_occurrences(out, "TLS certificate not reloaded") == refused;
        };
        EXPECT_TRUE(wait_until(refused_again, 5000));
        size_t line = out.rfind("TLS certificate not reloaded");
        EXPECT_EQ(out.substr(line, out.find('\n', line) + 1 - line),
                  "TLS certificate not reloaded, the one in use stays: " + reason + "\n");
        EXPECT_EQ(served_fingerprint(), a);
    }
    install_files(leaf + mid, "c.key");
    kill(relay.child.pid, SIGHUP);
    ASSERT_TRUE(wait_relay_output(relay, "TLS certificate reloaded from " + cert, 5000));
    std::string c = served_fingerprint();
    EXPECT_NE(c, a);
    EXPECT_FALSE(c.empty()) << "the client could not build the chain to the CA";
    EXPECT_EQ(count_occurrences(relay_stdout(relay), "TLS certificate not reloaded"), refused);
}

} // namespace
