// The webhook: batches of events POSTed in order to MIREVO_EVENTS_URL, signed, retried with back-off.
#pragma once

#include <stdint.h>

#include <string>

// A batch holds at most this many events and waits at most this long to fill.
#define WEBHOOK_BATCH_EVENTS 100
#define WEBHOOK_BATCH_WAIT_MS 1000
// After a failed request the next waits 1 s, doubling to 60 s; a success resets it.
#define WEBHOOK_BACKOFF_FIRST_MS 1000
#define WEBHOOK_BACKOFF_MAX_MS 60000
// A request that has no answer after this long has failed.
#define WEBHOOK_TIMEOUT_MS 10000

/*
 * Checks g_events_url (http or https) and starts the outgoing HTTP thread
 * that sends the batches. Returns 0, or -1 after a line saying why (the
 * webhook stays off). Main thread, before configure_events.
 */
int start_webhook(void);

// Requests that failed (no answer, or a status other than 2xx) since the start.
uint64_t webhook_failures(void);

// "sha256=<hex HMAC-SHA256 of body keyed with secret>".
std::string sign_webhook_body(const std::string &secret, const std::string &body);

// The next wait after a failure, given the last one (0: none yet).
uint32_t next_webhook_backoff(uint32_t last_ms);
