// The edit worker: API changes run here one at a time, in arrival order, off the HTTP thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "http/dispatch.h"
#include "http/reply.h"
#include "http/request.h"

struct lws;

/*
 * One change request, taken whole off the HTTP thread (which goes on answering
 * reads while the change waits for its save): what its endpoint reads
 * (method, path segments, query) and the reply it fills. The HTTP thread makes
 * it and owns it again once take_finished_edits hands it back; in between the
 * worker owns request and reply, and the last three fields stay the HTTP
 * thread's alone.
 */
struct edit_job_t {
    http_method_t method = HTTP_METHOD_POST;
    int count = 0;
    char segments[URI_SEGMENT_SLOTS][URI_SEGMENT_SIZE] = {};
    std::map<std::string, std::string> params;
    http_reply_t reply;
    // HTTP thread only: the connection to answer (nullptr once it closed), and
    // whether it closes after the reply.
    struct lws *wsi = nullptr;
    bool closing = false;
    bool finished = false; // handed back, reply complete
};

// A job for the current request of the calling thread (its segment table and
// query map); reply is moved into the job. The caller queues it.
edit_job_t *make_edit_job(http_method_t method, int count, http_reply_t &reply);
// Releases a job and its reply.
void free_edit_job(edit_job_t *job);

// Called on the worker after each job ends, to wake the HTTP thread (which
// then calls take_finished_edits). Must not block.
typedef void (*edit_wake_fn)(void);

// Starts the worker thread, named "edits". Returns 0, or the pthread error.
// Once, before the first queue_edit.
int start_edit_worker(edit_wake_fn wake);

// Appends job to the queue; the worker runs it after every job queued before.
// The queue holds at most one job per open HTTP connection. HTTP thread.
void queue_edit(edit_job_t *job);

// Moves the jobs the worker has finished, oldest first, into finished. HTTP thread.
void take_finished_edits(std::vector<edit_job_t *> &finished);
