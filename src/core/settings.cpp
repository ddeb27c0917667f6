// Process settings: the fixed defaults and their environment overrides.
#include "core/settings.h"

#include <stdio.h>
#include <stdlib.h>

char g_log_dir[256] = "/var/log";
char g_config_path[256] = "/usr/local/etc/mirevo-config.json";
int g_http_port = 80;
char g_api_key[API_KEY_SIZE] = "";

static const char *env_value(const char *name)
{
    const char *value = getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
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
    value = env_value("MIREVO_HTTP_PORT");
    if (value != nullptr) {
        char *end = nullptr;
        long port = strtol(value, &end, 10);
        if (end != nullptr && *end == '\0' && port > 0 && port <= 65535)
            g_http_port = (int)port;
        else
            result = -1;
    }
    return result;
}
