// The webhook: events POSTed in batches, in order, to MIREVO_EVENTS_URL; signed; retried.
#pragma once

#include <stdint.h>

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
