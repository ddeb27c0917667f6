// Process settings: the fixed defaults and their environment overrides.
#pragma once

#define API_KEY_SIZE 112

extern char g_log_dir[256];
extern char g_config_path[256];
extern int g_http_port;
extern char g_api_key[API_KEY_SIZE];

// Reads MIREVO_LOG_DIR, MIREVO_CONFIG, MIREVO_HTTP_PORT and MIREVO_API_KEY once;
// unset or empty keeps the default. Returns 0, or -1 when MIREVO_HTTP_PORT is not
// a port number (the default stays in force).
int load_settings_from_env(void);
