// Many live routes on two shared ports: what the relay's own threads cost as routes grow.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "http_client.h"

namespace
{

const int WINDOW_MS = 3000;
// The same total stream rate, 20 Mbit/s, carried by few and by many routes.
const int FEW_ROUTES = 20, FEW_RATE_BPS = 1000000;
const int MANY_ROUTES = 200, MANY_RATE_BPS = 100000;
// Limit on switches over 200 routes against 20: one epoll measured 0.8x, a thread per route 3.5x.
const double SWITCH_GROWTH_LIMIT = 2.0;

// Voluntary context switches by tid of pid's threads, libsrt's "SRT:*" left out.
std::map<std::string, long long> own_thread_switches(pid_t pid)
{
    std::map<std::string, long long> switches;
    std::string task = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(task.c_str());
    if (dir == nullptr)
        return switches;
    for (struct dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string thread = task + "/" + entry->d_name;
        if (read_text_file(thread + "/comm").rfind("SRT:", 0) == 0)
            continue;
        std::string status = read_text_file(thread + "/status");
        size_t at = status.find("\nvoluntary_ctxt_switches:");
        if (at != std::string::npos)
            switches[entry->d_name] = atoll(status.c_str() + at + 25);
    }
    closedir(dir);
    return switches;
}

// The sum of every sample of a metric family in a metrics text.
double family_sum(const std::string &text, const std::string &family)
{
    double sum = 0;
    for (size_t at = text.find("\n" + family + "{"); at != std::string::npos;
         at = text.find("\n" + family + "{", at + 1))
        sum += atof(text.c_str() + text.find("} ", at) + 2);
    return sum;
}

#ifdef MIREVO_LOAD
// The load tool's role (gen or sub), one stream per route on 127.0.0.1:port.
std::vector<std::string> load_tool(const char *role, int port, int routes,
                                   const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {MIREVO_LOAD,   role,
                                     "--url",       srt_url("127.0.0.1", port),
                                     "--streams",   std::to_string(routes),
                                     "--streamid",  "cam",
                                     "--share-port"};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}
#endif

class many_routes : public idle_relay_fixture
{
  protected:
    // Voluntary switches a second of the relay's threads while the routes carry rate_bps each.
    double own_switches_per_s(int routes, int rate_bps)
    {
#ifdef MIREVO_LOAD
        std::string tag = std::to_string(routes), ready = dir + "/ready-" + tag;
        int source = free_udp_port(), target = free_udp_port();
        restart_with(shared_port_routes(routes, {source}, {target}));
        child_process_t &sub = run(
            "sub-" + tag,
            load_tool("sub", target, routes,
                      {"--count", tag, "--no-tsbpd", "--duration", "60", "--ready-file", ready}));
        EXPECT_TRUE(wait_until([&] { return access(ready.c_str(), F_OK) == 0; }, 20000));
        child_process_t &gen =
            run("gen-" + tag, load_tool("gen", source, routes,
                                        {"--rate", std::to_string(rate_bps), "--duration", "40"}));
        EXPECT_TRUE(wait_until(
            [&] {
                return family_sum(get_body("/api/metrics"), "mirevo_route_source_connected") ==
                       routes;
            },
            20000))
            << "every stream has its publisher";
        if (::testing::Test::HasFailure())
            return -1;
        // Past the generator's first second, its streams flow at their steady rate.
        usleep(1000000);
        std::map<std::string, long long> before = own_thread_switches(relay.child.pid);
        int64_t start_us = steady_us();
        usleep(WINDOW_MS * 1000);
        std::map<std::string, long long> after = own_thread_switches(relay.child.pid);
        double seconds = (steady_us() - start_us) / 1e6;
        long long switches = 0;
        for (const auto &[tid, count] : after)
            switches += count - (before.count(tid) != 0 ? before[tid] : 0);

        stop_process(gen, SIGTERM, 10000);
        stop_process(sub, SIGTERM, 10000);
        json_t *report = parse_json_body(read_text_file(sub.out_path));
        json_int_t connected = -1, received = -1;
        json_unpack(report, "{s:I,s:{s:I}}", "connected", &connected, "aggregate", "received",
                    &received);
        json_decref(report);
        EXPECT_EQ(connected, routes);
        EXPECT_GT(received, routes * 10) << "the routes were live";
        printf("%d routes at %d bit/s: the relay's %zu own threads switched %.0f times a second\n",
               routes, rate_bps, after.size(), switches / seconds);
        return switches / seconds;
#else
        (void)routes;
        (void)rate_bps;
        return -1;
#endif
    }
};

// A thread per route would wake for other routes' events: wakes must not grow with routes.
TEST_F(many_routes, relay_thread_wakes_do_not_grow_with_routes)
{
#ifndef MIREVO_LOAD
    GTEST_SKIP() << "the load tool is built for trees without a sanitizer";
#else
    std::string self = read_text_file("/proc/self/task/" + std::to_string(gettid()) + "/status");
    if (self.find("\nvoluntary_ctxt_switches:") == std::string::npos)
        GTEST_SKIP() << "/proc shows no per-thread context switches here";
    double few = own_switches_per_s(FEW_ROUTES, FEW_RATE_BPS);
    ASSERT_GT(few, 0);
    double many = own_switches_per_s(MANY_ROUTES, MANY_RATE_BPS);
    ASSERT_GT(many, 0);
    EXPECT_LE(many, SWITCH_GROWTH_LIMIT * few)
        << MANY_ROUTES << " routes: " << many << " switches/s; " << FEW_ROUTES << " routes: " << few
        << " switches/s (" << many / few << "x)";
#endif
}

} // namespace
