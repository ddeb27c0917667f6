// The webhook: events POSTed in batches, in order, to MIREVO_EVENTS_URL; signed; retried.
#include "http/webhook.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <string>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "core/events.h"
#include "core/log.h"
#include "core/settings.h"
#include "http/outgoing_http.h"

// The sender's state belongs to the outgoing HTTP thread: one request at a time,
// so batches arrive in order.
static bool g_request_open = false;
static uint64_t g_next_attempt_ms = 0;
static uint32_t g_backoff_ms = 0;
static uint32_t g_failed_in_row = 0;
static std::atomic<uint64_t> g_failures{0};
// The URL as it may be shown: scheme and host, without any user or password.
static char g_shown_url[256];

uint64_t webhook_failures(void)
{
    return g_failures.load();
}

// "sha256=<hex HMAC-SHA256 of body keyed with secret>".
static std::string sign_webhook_body(const std::string &secret, const std::string &body)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), secret.data(), (int)secret.size(), (const unsigned char *)body.data(),
             body.size(), digest, &length) == nullptr)
        return "";
    static const char hex[] = "0123456789abcdef";
    std::string text = "sha256=";
    for (unsigned int i = 0; i < length; i++) {
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0f];
    }
    return text;
}

// The wait after a failure, given the last one (0: none yet): 1 s doubling to 60 s.
static uint32_t next_webhook_backoff(uint32_t last_ms)
{
    if (last_ms == 0)
        return WEBHOOK_BACKOFF_FIRST_MS;
    return last_ms >= WEBHOOK_BACKOFF_MAX_MS / 2 ? WEBHOOK_BACKOFF_MAX_MS : last_ms * 2;
}

// Outgoing HTTP thread: the receiver answered (or not) for the batch that ended with last_id.
static void batch_done(const webhook_batch_t &batch, const outgoing_response_t &response)
{
    g_request_open = false;
    if (response.status >= 200 && response.status <= 299) {
        webhook_batch_delivered(batch);
        if (g_failed_in_row > 0)
            log_messagef(LOG_LEVEL_INFO, "Webhook delivery resumed after %u failed attempt(s)\n",
                         g_failed_in_row);
        g_failed_in_row = 0;
        g_backoff_ms = 0;
        return;
    }
    g_failures++;
    g_failed_in_row++;
    g_backoff_ms = next_webhook_backoff(g_backoff_ms);
    g_next_attempt_ms = monotonic_ms() + g_backoff_ms;
    char reason[300];
    if (response.status != 0)
        snprintf(reason, sizeof reason, "HTTP status %ld", response.status);
    else
        snprintf(reason, sizeof reason, "%s", response.error.c_str());
    log_messagef(LOG_LEVEL_WARNING,
                 "Webhook delivery to %s failed (%s); %zu event(s) wait, next attempt in %u ms\n",
                 g_shown_url, reason, batch.events, g_backoff_ms);
}

// Outgoing HTTP thread, every 100 ms at least: sends the next batch when one is
// ready, nothing is under way and the back-off allows. O(batch).
static void webhook_tick(uint64_t now_ms)
{
    if (g_request_open || now_ms < g_next_attempt_ms)
        return;
    webhook_batch_t batch;
    if (!take_webhook_batch(WEBHOOK_BATCH_EVENTS, WEBHOOK_BATCH_WAIT_MS, batch))
        return;
    outgoing_request_t request;
    request.url = g_events_url;
    request.timeout_ms = WEBHOOK_TIMEOUT_MS;
    request.headers.push_back("Content-Type: application/json");
    if (g_events_secret[0] != '\0')
        request.headers.push_back("X-Mirevo-Signature: " +
                                  sign_webhook_body(g_events_secret, batch.body));
    request.body.swap(batch.body);
    request.done = [batch](const outgoing_response_t &response) { batch_done(batch, response); };
    g_request_open = true;
    if (submit_outgoing_request(std::move(request)) != 0) {
        outgoing_response_t refused;
        refused.error = "too many outgoing requests";
        batch_done(batch, refused);
    }
}

// scheme://host[:port] of url, without user information.
static void shown_url(const char *url, char *out, size_t size)
{
    const char *host = strstr(url, "://");
    host = host != nullptr ? host + 3 : url;
    size_t scheme_length = (size_t)(host - url);
    size_t host_length = strcspn(host, "/?#");
    const char *at = (const char *)memchr(host, '@', host_length);
    if (at != nullptr) {
        host_length -= (size_t)(at + 1 - host);
        host = at + 1;
    }
    snprintf(out, size, "%.*s%.*s", (int)scheme_length, url, (int)host_length, host);
}

int start_webhook(void)
{
    shown_url(g_events_url, g_shown_url, sizeof g_shown_url);
    if (strncasecmp(g_events_url, "http://", 7) != 0 &&
        strncasecmp(g_events_url, "https://", 8) != 0) {
        console_printf("MIREVO_EVENTS_URL is not an http or https URL: webhooks are off\n");
        return -1;
    }
    if (add_outgoing_tick(webhook_tick) != 0 || start_outgoing_http() != 0) {
        console_printf("Webhooks are off: the outgoing HTTP thread could not start\n");
        return -1;
    }
    if (g_events_secret[0] == '\0')
        console_printf("MIREVO_EVENTS_SECRET is not set: webhook requests go unsigned\n");
    console_printf("Events are sent to %s\n", g_shown_url);
    return 0;
}
