// A file:// target in the registry: its recording opened, closed and shown beside the SRT targets.
#pragma once

#include <stddef.h>

#include <string>

#include "recording/recorder.h"
#include "routing/registry.h"

/*
 * Checks a file:// URL for a target and makes its folder (0750) when missing.
 * Returns 0, or -1 with the reason. Touches the disk: the API's and the load's
 * threads only, never the event loop.
 */
int check_recording_target(const char *url, char *reason, size_t size);

/*
 * Opens a file:// target: its writer started (which makes the folder when it
 * opens a segment) and the recording handed to the fan-out (under list_lock).
 * Touches no disk. Returns 0, or -1 with the reason logged. Caller holds
 * route.lock.
 */
int open_recording_target(route_t &route, target_t &target);

// Takes the target's recording off the fan-out (under list_lock) and lets its
// writer close the open segment. Caller holds route.lock.
void close_recording_target(route_t &route, target_t &target);

// The figures of the target's recording; false when it has none. Caller holds
// route.list_lock.
bool recording_figures_of(const target_t &target, recording_figures_t &figures);

// The recording families of the metrics. Caller holds g_routes_lock.
void append_recording_metrics(std::string &out);

/*
 * The folder of a file:// target of the registry (route and target ids); false
 * when there is no such target or it is not a recording. Caller holds
 * g_routes_lock.
 */
bool recording_folder_of(int32_t route_id, int32_t target_id, recording_settings_t &settings);
