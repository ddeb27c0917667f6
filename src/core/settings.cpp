// Process settings: the fixed defaults and their environment overrides.
#include "core/settings.h"

#include <stdio.h>
#include <stdlib.h>

#include "core/log.h"

char g_log_dir[256] = "/var/log";
char g_config_path[256] = "/usr/local/etc/mirevo-config.json";
int g_http_port = 80;
char g_api_key[API_KEY_SIZE] = "";
char g_read_key[API_KEY_SIZE] = "";
char g_tls_cert_path[256] = "";
char g_tls_key_path[256] = "";
int g_log_keep_days = 14;
int g_stats_every = 1;
int g_log_queue_kb = 4096;

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
    const char *value;
    int result = 0;

    value = env_value("MIREVO_LOG_DIR");
    if (value != nullptr)
        snprintf(g_log_dir, sizeof g_log_dir, "%s", value);
    value = env_value("MIREVO_CONFIG");
    if (value != nullptr)
        snprintf(g_config_path, sizeof g_config_path, "%s", value);
    value = env_value("MIREVO_API_KEY");
    if (value != nullptr)
        snprintf(g_api_key, sizeof g_api_key, "%s", value);
    value = env_value("MIREVO_READ_KEY");
    if (value != nullptr)
        snprintf(g_read_key, sizeof g_read_key, "%s", value);
    value = env_value("MIREVO_TLS_CERT");
    if (value != nullptr)
        snprintf(g_tls_cert_path, sizeof g_tls_cert_path, "%s", value);
    value = env_value("MIREVO_TLS_KEY");
    if (value != nullptr)
        snprintf(g_tls_key_path, sizeof g_tls_key_path, "%s", value);
    value = env_value("MIREVO_HTTP_PORT");
    if (value != nullptr && read_number(value, 1, 65535, &g_http_port) != 0) {
        console_printf("MIREVO_HTTP_PORT is not a port number; using %d\n", g_http_port);
        result = -1;
    }
    value = env_value("MIREVO_LOG_KEEP_DAYS");
    if (value != nullptr && read_number(value, 0, 100000, &g_log_keep_days) != 0) {
        console_printf("MIREVO_LOG_KEEP_DAYS is not a number of days; keeping %d\n",
                       g_log_keep_days);
        result = -1;
    }
    value = env_value("MIREVO_STATS_EVERY");
    if (value != nullptr && read_number(value, 0, 86400, &g_stats_every) != 0) {
        console_printf("MIREVO_STATS_EVERY is not a number of seconds; keeping %d\n",
                       g_stats_every);
        result = -1;
    }
    value = env_value("MIREVO_LOG_QUEUE_KB");
    if (value != nullptr && read_number(value, 4, 1048576, &g_log_queue_kb) != 0) {
        console_printf("MIREVO_LOG_QUEUE_KB is not a number of kilobytes; keeping %d\n",
                       g_log_queue_kb);
        result = -1;
    }
    return result;
}
