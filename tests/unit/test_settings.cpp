// Process settings from the environment: what is taken, and what is refused with a line.
#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "testkit.h"

// Each row sets one variable on fresh defaults: the value in force afterwards, and the line
// printed when the value is refused (the default then stays).
TEST(settings, values_that_fit_are_taken_and_others_keep_the_default_with_a_line)
{
    const std::string key_111(111, 'k'), key_112(112, 'k');
    const std::string path_255 = "/" + std::string(254, 'p'), path_256 = path_255 + "p";
    const struct {
        const char *name, *value;
        std::string in_force, line;
    } rows[] = {
        {"MIREVO_API_KEY", key_111.c_str(), key_111, ""},
        {"MIREVO_API_KEY", key_112.c_str(), "",
         "MIREVO_API_KEY is longer than 111 characters; it is ignored\n"},
        {"MIREVO_READ_KEY", key_112.c_str(), "",
         "MIREVO_READ_KEY is longer than 111 characters; it is ignored\n"},
        {"MIREVO_CONFIG", path_256.c_str(), "/default/routes.json",
         "MIREVO_CONFIG is longer than 255 characters; it is ignored\n"},
        {"MIREVO_CONFIG", path_255.c_str(), path_255, ""},
        {"MIREVO_HTTP_PORT", "8080", "8080", ""},
        {"MIREVO_HTTP_PORT", "80a", "80", "MIREVO_HTTP_PORT is not a port number; using 80\n"},
        {"MIREVO_HTTP_PORT", "", "80", ""},
    };
    // Every setting comes back as it was, whatever else the environment holds.
    const std::string saved[] = {g_log_dir, g_config_path, g_tls_cert_path, g_tls_key_path};
    const int saved_numbers[] = {g_log_keep_days, g_stats_every, g_log_queue_kb};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.name) + "=" + std::string(row.value).substr(0, 20));
        g_api_key[0] = g_read_key[0] = '\0';
        snprintf(g_config_path, sizeof g_config_path, "/default/routes.json");
        g_http_port = 80;
        setenv(row.name, row.value, 1);
        int result = 0;
        std::string printed = capture_stdout([&] { result = load_settings_from_env(); });
        unsetenv(row.name);
        std::string name = row.name;
        std::string in_force = name == "MIREVO_API_KEY"    ? g_api_key
                               : name == "MIREVO_READ_KEY" ? g_read_key
                               : name == "MIREVO_CONFIG"   ? g_config_path
                                                           : std::to_string(g_http_port);
        EXPECT_EQ(in_force, row.in_force);
        EXPECT_EQ(printed, row.line);
        EXPECT_EQ(result, row.line.empty() ? 0 : -1);
    }
    g_api_key[0] = g_read_key[0] = '\0';
    g_http_port = 80;
    snprintf(g_log_dir, sizeof g_log_dir, "%s", saved[0].c_str());
    snprintf(g_config_path, sizeof g_config_path, "%s", saved[1].c_str());
    snprintf(g_tls_cert_path, sizeof g_tls_cert_path, "%s", saved[2].c_str());
    snprintf(g_tls_key_path, sizeof g_tls_key_path, "%s", saved[3].c_str());
    g_log_keep_days = saved_numbers[0];
    g_stats_every = saved_numbers[1];
    g_log_queue_kb = saved_numbers[2];
}
