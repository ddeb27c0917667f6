// Process settings: the fixed defaults and their environment overrides.
#include "core/settings.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core/log.h"

char g_log_dir[256] = "/var/log";
char g_config_path[256] = "/usr/local/etc/mirevo-config.json";
char g_config_seed_path[256] = "";
int g_http_port = 80;
char g_api_key[API_KEY_SIZE] = "";
char g_read_key[API_KEY_SIZE] = "";
char g_tls_cert_path[256] = "";
char g_tls_key_path[256] = "";
int g_log_keep_days = 14;
int g_stats_every = 1;
int g_log_queue_kb = 4096;
char g_events_url[1024] = "";
char g_events_secret[256] = "";
int g_events_queue = 10000;
char g_auth_url[1024] = "";
char g_auth_header[1024] = "";
int g_auth_timeout_ms = 2000;
int g_auth_fail_open = 0;
int g_auth_cache_s = 30;

static const char *env_value(const char *name)
{
    const char *value = getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// A whole decimal number within [low, high] into *out; -1 leaves *out alone.
static int read_number(const char *text, long low, long high, int *out)
{
    char *end = nullptr;
    long number = strtol(text, &end, 10);
    if (end == text || *end != '\0' || number < low || number > high)
        return -1;
    *out = (int)number;
    return 0;
}

int load_settings_from_env(void)
{
    const struct {
        const char *name;
        char *value;
        size_t size;
    } texts[] = {
        {"MIREVO_LOG_DIR", g_log_dir, sizeof g_log_dir},
        {"MIREVO_CONFIG", g_config_path, sizeof g_config_path},
        {"MIREVO_CONFIG_SEED", g_config_seed_path, sizeof g_config_seed_path},
        {"MIREVO_API_KEY", g_api_key, sizeof g_api_key},
        {"MIREVO_READ_KEY", g_read_key, sizeof g_read_key},
        {"MIREVO_TLS_CERT", g_tls_cert_path, sizeof g_tls_cert_path},
        {"MIREVO_TLS_KEY", g_tls_key_path, sizeof g_tls_key_path},
        {"MIREVO_EVENTS_URL", g_events_url, sizeof g_events_url},
        {"MIREVO_EVENTS_SECRET", g_events_secret, sizeof g_events_secret},
        {"MIREVO_AUTH_URL", g_auth_url, sizeof g_auth_url},
        {"MIREVO_AUTH_HEADER", g_auth_header, sizeof g_auth_header},
    };
    // A value that is not a number within bounds keeps the one in force, with a line.
    const struct {
        const char *name;
        int *value;
        long low, high;
        const char *complaint;
    } numbers[] = {
        {"MIREVO_HTTP_PORT", &g_http_port, 1, 65535, "is not a port number; using"},
        {"MIREVO_LOG_KEEP_DAYS", &g_log_keep_days, 0, 100000, "is not a number of days; keeping"},
        {"MIREVO_STATS_EVERY", &g_stats_every, 0, 86400, "is not a number of seconds; keeping"},
        {"MIREVO_LOG_QUEUE_KB", &g_log_queue_kb, 4, 1048576,
         "is not a number of kilobytes; keeping"},
        {"MIREVO_EVENTS_QUEUE", &g_events_queue, 1, 1000000, "is not a number of events; keeping"},
        {"MIREVO_AUTH_TIMEOUT_MS", &g_auth_timeout_ms, 1, 60000,
         "is not a number of milliseconds; keeping"},
        {"MIREVO_AUTH_FAIL_OPEN", &g_auth_fail_open, 0, 1, "is not 0 or 1; keeping"},
        {"MIREVO_AUTH_CACHE_S", &g_auth_cache_s, 0, 86400, "is not a number of seconds; keeping"},
    };
    int result = 0;
    // A text too long for its buffer is not cut: a cut key or path would be another one.
    for (const auto &text : texts) {
        const char *value = env_value(text.name);
        if (value == nullptr)
            continue;
        if (strlen(value) >= text.size) {
            console_printf("%s is longer than %zu characters; it is ignored\n", text.name,
                           text.size - 1);
            result = -1;
            continue;
        }
        snprintf(text.value, text.size, "%s", value);
    }
    for (const auto &number : numbers) {
        const char *value = env_value(number.name);
        if (value != nullptr && read_number(value, number.low, number.high, number.value) != 0) {
            console_printf("%s %s %d\n", number.name, number.complaint, *number.value);
            result = -1;
        }
    }
    return result;
}
