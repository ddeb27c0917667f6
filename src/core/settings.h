// Process settings: the fixed defaults and their environment overrides.
#pragma once

#define API_KEY_SIZE 112

extern char g_log_dir[256];
extern char g_config_path[256];
// A route document copied to g_config_path when that file does not exist at start; empty: none.
extern char g_config_seed_path[256];
extern int g_http_port;
extern char g_api_key[API_KEY_SIZE];
// A key that opens every GET and nothing else; empty means no such key.
extern char g_read_key[API_KEY_SIZE];
// PEM certificate (chain) and private key of the HTTP port; both empty: plain HTTP.
extern char g_tls_cert_path[256];
extern char g_tls_key_path[256];
// Day files older than this many days are removed; 0 keeps them all.
extern int g_log_keep_days;
// Seconds one statistics line covers; 0 writes no per-connection lines.
extern int g_stats_every;
// Kilobytes of log text that may wait for a slow console or disk before entries are dropped.
extern int g_log_queue_kb;
// Where events are POSTed (http or https); empty: no webhook.
extern char g_events_url[1024];
// The key of each webhook request's HMAC-SHA256 signature; empty: requests go unsigned.
extern char g_events_secret[256];
// Events that may wait for the webhook before the oldest are dropped.
extern int g_events_queue;

// Where callers of listening endpoints are checked (http or https); empty: nobody is asked.
extern char g_auth_url[1024];
// "Name: value" sent with each check (a bearer token, say); never logged. Empty: none.
extern char g_auth_header[1024];
// How long an answer may take before the check counts as an error.
extern int g_auth_timeout_ms;
// 1: an error (no answer, another status, a full queue) admits; 0: it denies.
extern int g_auth_fail_open;
// Seconds an allow is remembered (a deny always 5 s).
extern int g_auth_cache_s;

// Reads MIREVO_LOG_DIR, MIREVO_CONFIG, MIREVO_CONFIG_SEED, MIREVO_HTTP_PORT, MIREVO_API_KEY,
// MIREVO_READ_KEY, MIREVO_TLS_CERT, MIREVO_TLS_KEY, MIREVO_LOG_KEEP_DAYS, MIREVO_STATS_EVERY,
// MIREVO_LOG_QUEUE_KB, MIREVO_EVENTS_URL, MIREVO_EVENTS_SECRET, MIREVO_EVENTS_QUEUE and the
// MIREVO_AUTH_* settings (URL, HEADER, TIMEOUT_MS, FAIL_OPEN, CACHE_S) once;
// unset or empty keeps the default. Returns 0, or -1 when a number is not valid or a text is
// too long (the default stays in force and a line says so).
int load_settings_from_env(void);
