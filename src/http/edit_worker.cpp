// The edit worker: API changes run here one at a time, in arrival order, off the HTTP thread.
#include "http/edit_worker.h"

#include <pthread.h>
#include <string.h>

#include <deque>

// Both lists under g_edit_lock: jobs waiting for the worker, and jobs it has
// finished that the HTTP thread has not taken yet. A job is in at most one.
static pthread_mutex_t g_edit_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_edit_queued = PTHREAD_COND_INITIALIZER;
static std::deque<edit_job_t *> &g_edit_queue = *new std::deque<edit_job_t *>();
static std::vector<edit_job_t *> &g_edits_finished = *new std::vector<edit_job_t *>();
static edit_wake_fn g_edit_wake = nullptr;

edit_job_t *make_edit_job(http_method_t method, int count, http_reply_t &reply)
{
    edit_job_t *job = new edit_job_t();
    job->method = method;
    job->count = count;
    memcpy(job->segments, g_uri_segments, sizeof job->segments);
    job->params = g_query_params;
    job->reply = reply;
    // The job owns the body and JSON value now.
    reply.body = nullptr;
    reply.body_length = 0;
    reply.json = nullptr;
    return job;
}

void free_edit_job(edit_job_t *job)
{
    if (job == nullptr)
        return;
    release_reply(job->reply);
    delete job;
}

/*
 * Runs each job in the order queued: the endpoint sees the job's request in
 * this thread's own segment table and query map, exactly as the HTTP thread
 * would have shown it. The management operation may wait for the disk; only
 * this job's client waits with it.
 */
static void *edit_worker_thread(void *)
{
    for (;;) {
        pthread_mutex_lock(&g_edit_lock);
        while (g_edit_queue.empty())
            pthread_cond_wait(&g_edit_queued, &g_edit_lock);
        edit_job_t *job = g_edit_queue.front();
        g_edit_queue.pop_front();
        pthread_mutex_unlock(&g_edit_lock);

        memcpy(g_uri_segments, job->segments, sizeof job->segments);
        g_query_params.swap(job->params);
        dispatch_request(job->method, job->count, job->reply);
        serialise_reply_json(job->reply);
        g_query_params.clear();

        pthread_mutex_lock(&g_edit_lock);
        g_edits_finished.push_back(job);
        pthread_mutex_unlock(&g_edit_lock);
        g_edit_wake();
    }
    return nullptr;
}

int start_edit_worker(edit_wake_fn wake)
{
    g_edit_wake = wake;
    pthread_t thread;
    int err = pthread_create(&thread, nullptr, edit_worker_thread, nullptr);
    if (err != 0)
        return err;
    pthread_setname_np(thread, "edits");
    pthread_detach(thread);
    return 0;
}

void queue_edit(edit_job_t *job)
{
    pthread_mutex_lock(&g_edit_lock);
    g_edit_queue.push_back(job);
    pthread_cond_signal(&g_edit_queued);
    pthread_mutex_unlock(&g_edit_lock);
}

void take_finished_edits(std::vector<edit_job_t *> &finished)
{
    pthread_mutex_lock(&g_edit_lock);
    finished.insert(finished.end(), g_edits_finished.begin(), g_edits_finished.end());
    g_edits_finished.clear();
    pthread_mutex_unlock(&g_edit_lock);
}
