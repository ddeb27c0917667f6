// A file:// target in the registry: its recording opened, closed and shown beside the SRT targets.
#include "recording/recording_target.h"

#include <stdio.h>

#include <vector>

#include "core/log.h"

int check_recording_target(const char *url, char *reason, size_t size)
{
    recording_settings_t settings;
    if (parse_recording_url(url, settings, reason, size) != 0)
        return -1;
    return prepare_recording_folder(settings.folder, reason, size);
}

int open_recording_target(route_t &route, target_t &target)
{
    char reason[512];
    recording_settings_t settings;
    recording_t *recording = nullptr;
    // The folder is the writer's to make: this may run on the event loop (a redial).
    if (parse_recording_url(target.endpoint.url, settings, reason, sizeof reason) == 0)
        recording = start_recording(route.id, target.id, settings, reason, sizeof reason);
    if (recording == nullptr) {
        log_messagef(LOG_LEVEL_WARNING, "[recording] %d->%d: %s\n", route.id, target.id, reason);
        return -1;
    }
    pthread_mutex_lock(&route.list_lock);
    target.recording = recording;
    pthread_mutex_unlock(&route.list_lock);
    log_messagef(LOG_LEVEL_INFO, "[recording] %d->%d: recording into %s, segments of %d s\n",
                 route.id, target.id, settings.folder, settings.segment_seconds);
    return 0;
}

void close_recording_target(route_t &route, target_t &target)
{
    pthread_mutex_lock(&route.list_lock);
    recording_t *recording = target.recording;
    target.recording = nullptr;
    pthread_mutex_unlock(&route.list_lock);
    stop_recording(recording);
}

bool recording_figures_of(const target_t &target, recording_figures_t &figures)
{
    if (target.recording == nullptr)
        return false;
    read_recording_figures(*target.recording, figures);
    return true;
}

void append_recording_metrics(std::string &out)
{
    struct sample_t {
        int32_t route_id;
        int32_t target_id;
        recording_figures_t figures;
    };
    std::vector<sample_t> samples;
    for (route_t &route : g_routes) {
        pthread_mutex_lock(&route.list_lock);
        for (const target_t &target : route.targets) {
            sample_t sample = {route.id, target.id, {}};
            if (recording_figures_of(target, sample.figures))
                samples.push_back(sample);
        }
        pthread_mutex_unlock(&route.list_lock);
    }
    static const struct {
        const char *name;
        const char *type;
        const char *help;
    } families[4] = {
        {"mirevo_recording_written_bytes_total", "counter",
         "Bytes a recording wrote into its segment files since it opened."},
        {"mirevo_recording_segments_total", "counter", "Segments a recording closed."},
        {"mirevo_recording_dropped_total", "counter",
         "Messages a recording could not write: its queue was full or its disk failed."},
        {"mirevo_recording_free_bytes", "gauge",
         "Free space of a recording's folder for the relay (-1 until known)."},
    };
    char line[256];
    for (int i = 0; i < 4; i++) {
        snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n", families[i].name,
                 families[i].help, families[i].name, families[i].type);
        out += line;
        for (const sample_t &sample : samples) {
            const recording_figures_t &f = sample.figures;
            int64_t value = i == 0   ? f.bytes_written
                            : i == 1 ? f.segments
                            : i == 2 ? f.dropped
                                     : f.free_bytes;
            snprintf(line, sizeof line, "%s{route=\"%d\",target=\"%d\"} %lld\n", families[i].name,
                     sample.route_id, sample.target_id, (long long)value);
            out += line;
        }
    }
}

bool recording_folder_of(int32_t route_id, int32_t target_id, recording_settings_t &settings)
{
    route_t *route = nullptr;
    target_t *target = find_target_locked(route_id, target_id, &route);
    if (target == nullptr)
        return false;
    char reason[256];
    bool found = parse_recording_url(target->endpoint.url, settings, reason, sizeof reason) == 0;
    pthread_mutex_unlock(&route->lock);
    return found;
}
