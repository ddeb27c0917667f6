// The authorization hook: callers of listening endpoints checked with the operator's HTTP service.
#include "routing/authorization.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <deque>
#include <unordered_map>

#include <jansson.h>

#include "core/log.h"
#include "core/settings.h"
#include "http/outgoing_http.h"
#include "http/reply.h"
#include "srt/socket.h"

#define DENIAL_LOG_INTERVAL_MS 1000

enum auth_result_t { RESULT_ALLOW = 0, RESULT_DENY = 1, RESULT_ERROR = 2, RESULT_COUNT = 3 };
static const char *const result_names[RESULT_COUNT] = {"allow", "deny", "error"};

// Upper bounds of the answer-time histogram, in seconds.
static const double answer_buckets[] = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
#define ANSWER_BUCKET_COUNT (sizeof answer_buckets / sizeof answer_buckets[0])

struct cached_decision_t {
    bool allowed;
    uint64_t expires_ms;
};

// A check under way or queued for one key, and the callers that wait for it.
struct auth_job_t {
    std::string body;
    std::vector<SRTSOCKET> waiters;
    uint64_t sent_ms = 0; // 0 while queued
};

// Under g_auth_lock (see authorization.h). Never destroyed: the outgoing
// thread may complete a request while the process ends.
static pthread_mutex_t g_auth_lock = PTHREAD_MUTEX_INITIALIZER;
static std::unordered_map<std::string, cached_decision_t> &g_cache =
    *new std::unordered_map<std::string, cached_decision_t>();
static std::unordered_map<std::string, auth_job_t> &g_jobs =
    *new std::unordered_map<std::string, auth_job_t>();
static std::deque<std::string> &g_queue = *new std::deque<std::string>();
static std::vector<auth_decision_t> &g_decisions = *new std::vector<auth_decision_t>();
static int g_in_flight = 0;
static uint64_t g_next_prune_ms = 0;
static bool g_client_running = false;

static std::atomic<bool> g_decisions_ready{false};
static std::atomic<uint64_t> g_results[RESULT_COUNT];
static std::atomic<uint64_t> g_answer_counts[ANSWER_BUCKET_COUNT + 1];
static std::atomic<uint64_t> g_answer_us_sum{0};

// The event loop's denial lines.
static uint64_t g_last_denial_log_ms = 0;
static uint32_t g_unlogged_denials = 0;

bool authorization_enabled(void)
{
    return g_auth_url[0] != '\0';
}

int start_authorization(void)
{
    if (!authorization_enabled())
        return 0;
    if (strncasecmp(g_auth_url, "http://", 7) != 0 && strncasecmp(g_auth_url, "https://", 8) != 0) {
        console_printf("MIREVO_AUTH_URL is not an http or https URL: every check fails\n");
        return -1;
    }
    if (g_auth_header[0] != '\0' && strchr(g_auth_header, ':') == nullptr) {
        console_printf("MIREVO_AUTH_HEADER is not \"Name: value\": every check fails\n");
        return -1;
    }
    if (start_outgoing_http() != 0) {
        console_printf("The authorization hook cannot send: every check fails\n");
        return -1;
    }
    pthread_mutex_lock(&g_auth_lock);
    g_client_running = true;
    pthread_mutex_unlock(&g_auth_lock);
    console_printf("Callers are checked with the authorizer (%s when it fails)\n",
                   g_auth_fail_open != 0 ? "admitted" : "refused");
    return 0;
}

// The peer's address without its port: "[::1]:5000" gives "[::1]".
static std::string peer_host(const char *peer)
{
    const char *colon = strrchr(peer, ':');
    return colon != nullptr ? std::string(peer, (size_t)(colon - peer)) : std::string(peer);
}

static std::string cache_key(bool publish, int32_t route_id, int32_t target_id,
                             const char *stream_id, const std::string &host)
{
    char head[64];
    snprintf(head, sizeof head, "%s %d %d ", publish ? "publish" : "read", route_id, target_id);
    return head + host + " " + stream_id;
}

// The cached decision for key, if one is still valid. Caller holds g_auth_lock.
static const cached_decision_t *cached(const std::string &key, uint64_t now)
{
    auto found = g_cache.find(key);
    return found != g_cache.end() && found->second.expires_ms > now ? &found->second : nullptr;
}

bool authorization_denial_cached(bool publish, int32_t route_id, int32_t target_id,
                                 const char *stream_id, const struct sockaddr *peer)
{
    if (!authorization_enabled() || peer == nullptr)
        return false;
    char text[NI_MAXHOST + NI_MAXSERV + 4] = "";
    format_peer_address(
        peer, peer->sa_family == AF_INET6 ? (int)sizeof(sockaddr_in6) : (int)sizeof(sockaddr_in),
        text, sizeof text);
    std::string key = cache_key(publish, route_id, target_id, stream_id != nullptr ? stream_id : "",
                                peer_host(text));
    pthread_mutex_lock(&g_auth_lock);
    auto found = g_cache.find(key);
    // While the key is asked again, the deny it had still answers: one caller per deny
    // period is let in and held, not all who knock meanwhile.
    bool denied = found != g_cache.end() && !found->second.allowed &&
                  (found->second.expires_ms > monotonic_ms() || g_jobs.count(key) != 0);
    pthread_mutex_unlock(&g_auth_lock);
    return denied;
}

// The keys of an access-control id "#!::k=v,k=v" (also "%23!::"), into object.
static void add_id_keys(json_t *object, const char *stream_id)
{
    size_t prefix = strncmp(stream_id, "#!::", 4) == 0     ? 4
                    : strncmp(stream_id, "%23!::", 6) == 0 ? 6
                                                           : 0;
    if (prefix == 0)
        return;
    json_t *keys = json_object();
    std::string text = stream_id + prefix;
    for (size_t at = 0; at <= text.size();) {
        size_t comma = text.find(',', at);
        std::string pair =
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        size_t equals = pair.find('=');
        if (!pair.empty())
            json_object_set_new(
                keys, pair.substr(0, equals).c_str(),
                json_text(equals == std::string::npos ? "" : pair.substr(equals + 1).c_str()));
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    json_object_set_new(object, "keys", keys);
}

static std::string request_body(const auth_check_t &check)
{
    json_t *object = json_object();
    json_object_set_new(object, "action", json_string(check.publish ? "publish" : "read"));
    json_object_set_new(object, "route_id", json_integer(check.route_id));
    json_object_set_new(object, "target_id",
                        check.target_id == -1 ? json_null() : json_integer(check.target_id));
    json_object_set_new(object, "stream_id", json_text(check.stream_id));
    add_id_keys(object, check.stream_id);
    json_object_set_new(object, "peer", json_string(check.peer));
    json_object_set_new(object, "port", json_integer(check.port));
    char *text = json_dumps(object, JSON_COMPACT);
    std::string body = text != nullptr ? text : "{}";
    free(text);
    json_decref(object);
    return body;
}

static void count_answer(uint64_t elapsed_us)
{
    size_t bucket = 0;
    while (bucket < ANSWER_BUCKET_COUNT && (double)elapsed_us / 1e6 > answer_buckets[bucket])
        bucket++;
    g_answer_counts[bucket]++;
    g_answer_us_sum += elapsed_us;
}

// Drops expired decisions, at most once a second. Caller holds g_auth_lock. O(cache).
static void prune_cache(uint64_t now)
{
    if (now < g_next_prune_ms)
        return;
    g_next_prune_ms = now + 1000;
    for (auto it = g_cache.begin(); it != g_cache.end();)
        it = it->second.expires_ms <= now && g_jobs.count(it->first) == 0 ? g_cache.erase(it)
                                                                          : std::next(it);
}

/*
 * Ends the job of key with result: caches a decision (errors are not cached),
 * hands one decision per waiting caller to the loop. Caller holds g_auth_lock.
 */
static void finish_job(const std::string &key, auth_result_t result, long status)
{
    auto job = g_jobs.find(key);
    if (job == g_jobs.end())
        return;
    g_results[result]++;
    bool allowed = result == RESULT_ALLOW || (result == RESULT_ERROR && g_auth_fail_open != 0);
    uint64_t now = monotonic_ms();
    if (result != RESULT_ERROR) {
        prune_cache(now);
        uint64_t lasts =
            result == RESULT_ALLOW ? (uint64_t)g_auth_cache_s * 1000 : AUTH_DENY_CACHE_MS;
        if (lasts > 0 && (g_cache.size() < AUTH_CACHE_MAX || g_cache.count(key) != 0))
            g_cache[key] = {result == RESULT_ALLOW, now + lasts};
    }
    for (SRTSOCKET sock : job->second.waiters)
        g_decisions.push_back({sock, allowed, result == RESULT_ERROR, status});
    g_jobs.erase(job);
    g_decisions_ready = true;
}

static void answer_came(const std::string &key, uint64_t sent_us,
                        const outgoing_response_t &answer);

// Sends the job of key. Caller holds g_auth_lock; the outgoing client's lock is taken after it.
static void send_job(const std::string &key)
{
    auto job = g_jobs.find(key);
    if (job == g_jobs.end())
        return;
    outgoing_request_t request;
    request.url = g_auth_url;
    request.timeout_ms = g_auth_timeout_ms;
    request.headers.push_back("Content-Type: application/json");
    if (g_auth_header[0] != '\0')
        request.headers.push_back(g_auth_header);
    request.body = job->second.body;
    uint64_t sent_us = (uint64_t)srt_time_now();
    request.done = [key, sent_us](const outgoing_response_t &answer) {
        answer_came(key, sent_us, answer);
    };
    if (!g_client_running || submit_outgoing_request(std::move(request)) != 0) {
        finish_job(key, RESULT_ERROR, 0);
        return;
    }
    job->second.sent_ms = monotonic_ms();
    g_in_flight++;
}

// Outgoing HTTP thread: the authorizer answered, or could not. Starts queued checks.
static void answer_came(const std::string &key, uint64_t sent_us, const outgoing_response_t &answer)
{
    count_answer((uint64_t)srt_time_now() - sent_us);
    auth_result_t result = answer.status >= 200 && answer.status <= 299   ? RESULT_ALLOW
                           : answer.status == 401 || answer.status == 403 ? RESULT_DENY
                                                                          : RESULT_ERROR;
    pthread_mutex_lock(&g_auth_lock);
    g_in_flight--;
    finish_job(key, result, answer.status);
    while (g_in_flight < AUTH_IN_FLIGHT_MAX && !g_queue.empty()) {
        std::string next = std::move(g_queue.front());
        g_queue.pop_front();
        send_job(next);
    }
    pthread_mutex_unlock(&g_auth_lock);
}

auth_verdict_t request_authorization(const auth_check_t &check, auth_decision_t &now)
{
    now = {check.sock, false, false, 0};
    std::string key = cache_key(check.publish, check.route_id, check.target_id, check.stream_id,
                                peer_host(check.peer));
    auth_verdict_t verdict = AUTH_PENDING;
    pthread_mutex_lock(&g_auth_lock);
    const cached_decision_t *decision = cached(key, monotonic_ms());
    auto job = g_jobs.find(key);
    if (decision != nullptr) {
        now.allowed = decision->allowed;
        verdict = decision->allowed ? AUTH_ALLOWED : AUTH_DENIED;
    } else if (job != g_jobs.end()) {
        job->second.waiters.push_back(check.sock);
    } else if (g_in_flight >= AUTH_IN_FLIGHT_MAX && g_queue.size() >= AUTH_QUEUE_MAX) {
        // No room: an error, as fail-open says.
        g_results[RESULT_ERROR]++;
        now.error = true;
        now.allowed = g_auth_fail_open != 0;
        verdict = now.allowed ? AUTH_ALLOWED : AUTH_DENIED;
    } else {
        auth_job_t &fresh = g_jobs[key];
        fresh.body = request_body(check);
        fresh.waiters.push_back(check.sock);
        if (g_in_flight < AUTH_IN_FLIGHT_MAX)
            send_job(key);
        else
            g_queue.push_back(key);
    }
    pthread_mutex_unlock(&g_auth_lock);
    return verdict;
}

bool take_auth_decisions(std::vector<auth_decision_t> &out)
{
    out.clear();
    if (!g_decisions_ready.load(std::memory_order_acquire))
        return false;
    pthread_mutex_lock(&g_auth_lock);
    out.swap(g_decisions);
    g_decisions_ready = false;
    pthread_mutex_unlock(&g_auth_lock);
    return !out.empty();
}

void log_auth_denial(int32_t route_id, int32_t target_id, const char *peer,
                     const auth_decision_t &decision)
{
    uint64_t now = monotonic_ms();
    if (g_last_denial_log_ms != 0 && now - g_last_denial_log_ms < DENIAL_LOG_INTERVAL_MS) {
        g_unlogged_denials++;
        return;
    }
    g_last_denial_log_ms = now;
    char endpoint[32] = "source";
    if (target_id != -1)
        snprintf(endpoint, sizeof endpoint, "target %d", target_id);
    char why[64];
    if (!decision.error)
        snprintf(why, sizeof why, "denied (HTTP %ld)", decision.status);
    else if (decision.status != 0)
        snprintf(why, sizeof why, "no valid answer (HTTP %ld)", decision.status);
    else
        snprintf(why, sizeof why, "no answer");
    char more[64] = "";
    if (g_unlogged_denials != 0)
        snprintf(more, sizeof more, " (%u more denied since the last line)", g_unlogged_denials);
    g_unlogged_denials = 0;
    log_messagef(LOG_LEVEL_WARNING, "[AUTH] Closed caller %s of route %d %s: authorizer %s%s\n",
                 peer, route_id, endpoint, why, more);
}

void append_auth_metrics(std::string &out)
{
    if (!authorization_enabled())
        return;
    char line[160];
    out += "# HELP mirevo_auth_requests_total Checks of callers by their outcome (errors include "
           "checks a full queue turned away).\n# TYPE mirevo_auth_requests_total counter\n";
    for (int result = 0; result < RESULT_COUNT; result++) {
        snprintf(line, sizeof line, "mirevo_auth_requests_total{result=\"%s\"} %llu\n",
                 result_names[result], (unsigned long long)g_results[result].load());
        out += line;
    }
    out += "# HELP mirevo_auth_answer_seconds How long the authorizer took to answer (or to "
           "fail).\n# TYPE mirevo_auth_answer_seconds histogram\n";
    uint64_t cumulative = 0;
    for (size_t bucket = 0; bucket <= ANSWER_BUCKET_COUNT; bucket++) {
        cumulative += g_answer_counts[bucket].load();
        if (bucket < ANSWER_BUCKET_COUNT)
            snprintf(line, sizeof line, "mirevo_auth_answer_seconds_bucket{le=\"%g\"} %llu\n",
                     answer_buckets[bucket], (unsigned long long)cumulative);
        else
            snprintf(line, sizeof line, "mirevo_auth_answer_seconds_bucket{le=\"+Inf\"} %llu\n",
                     (unsigned long long)cumulative);
        out += line;
    }
    snprintf(line, sizeof line,
             "mirevo_auth_answer_seconds_sum %.6f\nmirevo_auth_answer_seconds_count %llu\n",
             (double)g_answer_us_sum.load() / 1e6, (unsigned long long)cumulative);
    out += line;
}
