// The service install script, staged under a temporary root instead of the live system.
#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <string>

#include "http_client.h"

namespace
{

// Runs the script with DESTDIR and the given binary; returns its exit status.
int run_install(const std::string &root, const std::string &out)
{
    child_process_t script =
        spawn_process({std::string(MIREVO_SOURCE_DIR) + "/scripts/install-service.sh"},
                      {{"DESTDIR", root}, {"MIREVO_BINARY", MIREVO_BINARY}}, out, out + ".err");
    if (!wait_process(script, 30000))
        stop_process(script, SIGKILL, 5000);
    return script.status;
}

mode_t file_mode(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

TEST(http_service_install, stages_binary_unit_and_env_file_under_destdir)
{
    std::string root = make_temp_dir();
    ASSERT_FALSE(root.empty());
    ASSERT_EQ(run_install(root, root + "/first.out"), 0) << read_text_file(root + "/first.out.err");

    std::string binary = root + "/usr/local/bin/mirevo";
    std::string env = root + "/usr/local/etc/mirevo.env";
    EXPECT_EQ(file_mode(binary), 0755u);
    EXPECT_EQ(read_text_file(binary), read_text_file(MIREVO_BINARY));
    std::string unit = read_text_file(root + "/etc/systemd/system/obrinaxserver.service");
    for (const char *line :
         {"ExecStart=/usr/local/bin/mirevo\n", "EnvironmentFile=-/usr/local/etc/mirevo.env\n",
          "Restart=on-failure\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line;

    EXPECT_EQ(file_mode(env), 0600u);
    std::string env_text = read_text_file(env);
    EXPECT_TRUE(std::regex_match(env_text, std::regex("MIREVO_API_KEY=[0-9a-f]{48}\n")))
        << env_text;

    // A second run keeps the key that clients already use.
    ASSERT_EQ(run_install(root, root + "/second.out"), 0);
    EXPECT_EQ(read_text_file(env), env_text);
    remove_tree(root);
}

} // namespace
