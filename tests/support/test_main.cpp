// Test entry: the SRT library and the process-wide locks, as the relay sets them up.
#include <gtest/gtest.h>
#include <signal.h>
#include <srt/srt.h>
#include <stdio.h>

#include "core/log.h"
#include "core/settings.h"
#include "routing/registry.h"
#include "testkit.h"

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // A TLS write to a peer that closed must fail, not end the test process.
    signal(SIGPIPE, SIG_IGN);
    srt_startup();
    srt_setloglevel(2);
    if (init_global_locks() != 0)
        return 6;
    // Nothing a test does in-process may touch the real log folder or configuration.
    std::string dir = make_temp_dir();
    snprintf(g_log_dir, sizeof g_log_dir, "%s", dir.c_str());
    snprintf(g_config_path, sizeof g_config_path, "%s/mirevo-config.json", dir.c_str());
    int result = RUN_ALL_TESTS();
    flush_log(5000);
    remove_tree(dir);
    return result;
}
