// Requests the relay makes to other servers: one thread drives libcurl's multi interface for all.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// Requests submitted and not yet completed, at most.
#define OUTGOING_IN_FLIGHT_MAX 64
// The part of an answer's body that is kept for the completion.
#define OUTGOING_BODY_MAX 65536

struct outgoing_response_t {
    long status = 0;   // HTTP status; 0 when no answer came
    std::string error; // why no answer came (libcurl's text), "" otherwise
    std::string body;  // the first OUTGOING_BODY_MAX bytes of the answer
};

// Runs on the client thread once the request is done, failed or timed out.
// It must not wait: every other request waits for it.
typedef std::function<void(const outgoing_response_t &)> outgoing_done_fn;

struct outgoing_request_t {
    std::string method = "POST";
    std::string url;                  // http:// or https:// only
    std::vector<std::string> headers; // "Name: value"
    std::string body;
    int timeout_ms = 10000; // the whole exchange, connection included
    outgoing_done_fn done;
};

/*
 * Starts the client thread ("http-out") once; later calls return its result.
 * Returns 0, or -1 with a line saying why (libcurl could not start, no thread).
 * Main thread, before other threads use libcurl.
 */
int start_outgoing_http(void);

/*
 * Hands a request to the client thread. Any thread; returns at once (one lock,
 * one wake-up of the thread). Returns 0, or -1 when the thread is not running
 * or OUTGOING_IN_FLIGHT_MAX requests are under way (done is not called then).
 */
int submit_outgoing_request(outgoing_request_t request);

/*
 * Runs tick on the client thread at least every 100 ms and after every
 * completion, with the monotonic time; it may submit requests and must not
 * wait. Register before start_outgoing_http; at most 4.
 */
typedef void (*outgoing_tick_fn)(uint64_t now_ms);
int add_outgoing_tick(outgoing_tick_fn tick);
