// Requests the relay makes to other servers: one thread drives libcurl's multi interface for all.
#include "http/outgoing_http.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <deque>

#include <curl/curl.h>

#include "core/log.h"

#ifndef MIREVO_VERSION
#define MIREVO_VERSION "unknown"
#endif

#define OUTGOING_TICKS_MAX 4
#define OUTGOING_POLL_MS 100
#define OUTGOING_CONNECT_MS 5000

// One request under way; owned by the client thread from submission to completion.
struct transfer_t {
    outgoing_request_t request;
    CURL *easy = nullptr;
    struct curl_slist *headers = nullptr;
    outgoing_response_t response;
    char error[CURL_ERROR_SIZE] = "";
};

/*
 * g_outgoing_lock guards g_submitted and g_in_flight (submitted and not yet
 * completed). Nothing else is taken under it; the multi handle and the
 * transfers belong to the client thread alone. g_multi is set before the
 * thread starts and never freed (the thread runs until the process ends).
 */
static pthread_mutex_t g_outgoing_lock = PTHREAD_MUTEX_INITIALIZER;
static std::deque<outgoing_request_t> g_submitted;
static int g_in_flight = 0;
static CURLM *g_multi = nullptr;
// 1: not started yet; 0 running; -1 could not start. Set by the main thread.
static std::atomic<int> g_start_result{1};
static outgoing_tick_fn g_ticks[OUTGOING_TICKS_MAX];
static int g_tick_count = 0;

int add_outgoing_tick(outgoing_tick_fn tick)
{
    if (g_tick_count >= OUTGOING_TICKS_MAX || g_start_result != 1)
        return -1;
    g_ticks[g_tick_count++] = tick;
    return 0;
}

// Keeps the first OUTGOING_BODY_MAX bytes of an answer; the rest is read and let go.
static size_t keep_body(char *data, size_t size, size_t count, void *user)
{
    transfer_t *transfer = static_cast<transfer_t *>(user);
    size_t length = size * count;
    std::string &body = transfer->response.body;
    if (body.size() < OUTGOING_BODY_MAX)
        body.append(data, length < OUTGOING_BODY_MAX - body.size()
                              ? length
                              : OUTGOING_BODY_MAX - body.size());
    return length;
}

// The easy handle of a transfer; -1 with the reason in the response when libcurl refuses.
static int prepare_transfer(transfer_t &transfer)
{
    const outgoing_request_t &request = transfer.request;
    transfer.easy = curl_easy_init();
    if (transfer.easy == nullptr) {
        transfer.response.error = "libcurl could not make a handle";
        return -1;
    }
    CURL *easy = transfer.easy;
    // No 100-continue round trip before a body.
    transfer.headers = curl_slist_append(transfer.headers, "Expect:");
    for (const std::string &header : request.headers)
        transfer.headers = curl_slist_append(transfer.headers, header.c_str());
    long connect_ms =
        request.timeout_ms < OUTGOING_CONNECT_MS ? request.timeout_ms : OUTGOING_CONNECT_MS;
    CURLcode failed = CURLE_OK;
    const struct {
        CURLoption option;
        long value;
    } numbers[] = {
        {CURLOPT_NOSIGNAL, 1L},
        {CURLOPT_TIMEOUT_MS, (long)request.timeout_ms},
        {CURLOPT_CONNECTTIMEOUT_MS, connect_ms},
        {CURLOPT_FOLLOWLOCATION, 0L},
    };
    for (const auto &number : numbers)
        if (failed == CURLE_OK)
            failed = curl_easy_setopt(easy, number.option, number.value);
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_USERAGENT, "mirevo/" MIREVO_VERSION);
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.headers);
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error);
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keep_body);
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    if (failed == CURLE_OK)
        failed = curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    if (failed == CURLE_OK && request.method == "POST") {
        failed = curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        if (failed == CURLE_OK)
            failed = curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                                      (curl_off_t)request.body.size());
    } else if (failed == CURLE_OK && request.method != "GET") {
        failed = curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (failed != CURLE_OK) {
        transfer.response.error = curl_easy_strerror(failed);
        return -1;
    }
    if (curl_multi_add_handle(g_multi, easy) != CURLM_OK) {
        transfer.response.error = "libcurl could not take the request";
        return -1;
    }
    return 0;
}

// Runs the completion and releases everything of the transfer. Client thread.
static void complete_transfer(transfer_t *transfer, bool added)
{
    if (transfer->request.done)
        transfer->request.done(transfer->response);
    if (transfer->easy != nullptr) {
        if (added)
            curl_multi_remove_handle(g_multi, transfer->easy);
        curl_easy_cleanup(transfer->easy);
    }
    curl_slist_free_all(transfer->headers);
    delete transfer;
    pthread_mutex_lock(&g_outgoing_lock);
    g_in_flight--;
    pthread_mutex_unlock(&g_outgoing_lock);
}

static void start_submitted(void)
{
    std::deque<outgoing_request_t> taken;
    pthread_mutex_lock(&g_outgoing_lock);
    taken.swap(g_submitted);
    pthread_mutex_unlock(&g_outgoing_lock);
    for (outgoing_request_t &request : taken) {
        transfer_t *transfer = new transfer_t;
        transfer->request = std::move(request);
        if (prepare_transfer(*transfer) != 0)
            complete_transfer(transfer, false);
    }
}

static void finish_done_transfers(void)
{
    int left = 0;
    CURLMsg *message;
    while ((message = curl_multi_info_read(g_multi, &left)) != nullptr) {
        if (message->msg != CURLMSG_DONE)
            continue;
        transfer_t *transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, (char **)&transfer);
        if (transfer == nullptr)
            continue;
        CURLcode result = message->data.result;
        if (result == CURLE_OK) {
            curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &transfer->response.status);
        } else {
            transfer->response.status = 0;
            transfer->response.error =
                transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(result);
        }
        complete_transfer(transfer, true);
    }
}

static void *outgoing_http_thread(void *)
{
    for (;;) {
        start_submitted();
        int running = 0;
        curl_multi_perform(g_multi, &running);
        finish_done_transfers();
        uint64_t now = monotonic_ms();
        for (int i = 0; i < g_tick_count; i++)
            g_ticks[i](now);
        start_submitted();
        curl_multi_perform(g_multi, &running);
        curl_multi_poll(g_multi, nullptr, 0, OUTGOING_POLL_MS, nullptr);
    }
    return nullptr;
}

int start_outgoing_http(void)
{
    if (g_start_result != 1)
        return g_start_result;
    g_start_result = -1;
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        console_printf("Outgoing HTTP requests are off: libcurl could not start\n");
        return -1;
    }
    g_multi = curl_multi_init();
    if (g_multi == nullptr) {
        console_printf("Outgoing HTTP requests are off: libcurl could not start\n");
        return -1;
    }
    // Before the thread runs: its first tick may submit.
    g_start_result = 0;
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, outgoing_http_thread, nullptr);
    if (err != 0) {
        g_start_result = -1;
        console_printf("cannot create the outgoing HTTP thread: %s\n", strerror(err));
        return -1;
    }
    pthread_setname_np(thread, "http-out");
    pthread_detach(thread);
    return 0;
}

int submit_outgoing_request(outgoing_request_t request)
{
    if (g_start_result != 0)
        return -1;
    pthread_mutex_lock(&g_outgoing_lock);
    if (g_in_flight >= OUTGOING_IN_FLIGHT_MAX) {
        pthread_mutex_unlock(&g_outgoing_lock);
        return -1;
    }
    g_in_flight++;
    g_submitted.push_back(std::move(request));
    pthread_mutex_unlock(&g_outgoing_lock);
    curl_multi_wakeup(g_multi);
    return 0;
}
