// Logger: tags, console and day-file shapes in UTC, day switch.
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/settings.h"
#include "testkit.h"

// The logger's clock in these tests; 1796460097 is 2026-12-05 08:41:37 UTC.
static std::atomic<time_t> g_test_now{0};
const std::string STAMP = "[2026.12.05 08:41:37] ";
const std::string CONSOLE = "\x1b[2K\r" + STAMP;

// Logs into its own folder on the test's clock in a zone of UTC+14: all texts stay UTC.
class LogTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        snprintf(g_log_dir, sizeof g_log_dir, "%s", dir_.c_str());
        g_test_now = 1796460097;
        set_clock_source([]() -> time_t { return g_test_now.load(); });
        setenv("TZ", "KIT-14", 1);
        tzset();
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
        set_clock_source(nullptr);
        remove_tree(dir_);
    }
    std::string day_file(const char *day = "20261205") const
    {
        return read_text_file(dir_ + "/mirevo-" + day + ".log");
    }
    std::string log(int level, const std::string &text)
    {
        return capture_stdout([&] { log_message(level, text.c_str()); });
    }

    std::string dir_ = make_temp_dir();
};

// Text is never a format and is one line; control characters are escaped.
TEST_F(LogTest, level_selects_tag_and_text_becomes_one_line)
{
    const struct {
        int level;
        const char *tag;
    } cases[] = {{3, "[ERR] "},      {4, "[WARNING] "}, {6, ""},        {7, "[DEBUG] "},
                 {128, ""},          {0, "[LVL0] "},    {5, "[LVL5] "}, {8, "[LVL8] "},
                 {129, "[LVL129] "}, {-1, "[LVL-1] "}};
    const std::string text = "rate %d of %s at %n%% done";
    for (const auto &c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        unlink((dir_ + "/mirevo-20261205.log").c_str());
        EXPECT_EQ(log(c.level, text), CONSOLE + c.tag + text + "\n");
        EXPECT_EQ(day_file(), STAMP + c.tag + " " + text + "\n");
    }
    std::string long_text(3000, 'a');
    EXPECT_EQ(capture_stdout([&] { log_messagef(6, "%s", long_text.c_str()); }),
              CONSOLE + std::string(LOG_MESSAGE_SIZE - 1, 'a') + "\n");
    const std::pair<std::string, std::string> escaped[] = {
        {"id=cam\x1b[2J\rx\n[2026.01.01 00:00:00] forged\n\n", "id=cam\\x1b[2J\\x0dx\\x0a"
                                                               "[2026.01.01 00:00:00] forged\n"},
        {"tab\there\x7f", "tab\\x09here\\x7f\n"},
        {"\n", "\n"}};
    for (const auto &[given, written] : escaped) {
        EXPECT_EQ(log(6, given), CONSOLE + written);
        EXPECT_EQ(capture_stdout([&] { console_printf("%s", given.c_str()); }), written);
    }
}

TEST_F(LogTest, midnight_starts_a_new_day_file_and_a_removed_one_is_made_again)
{
    g_test_now = 1798761599; // the last second of 2026
    log(6, "last\n");
    g_test_now = 1798761600;
    EXPECT_EQ(log(6, "first"), "\x1b[2K\r[2027.01.01 00:00:00] first\n");
    EXPECT_EQ(day_file("20261231"), "[2026.12.31 23:59:59]  last\n");
    EXPECT_EQ(day_file("20270101"), "[2027.01.01 00:00:00]  first\n");
    ASSERT_EQ(unlink((dir_ + "/mirevo-20270101.log").c_str()), 0);
    log(6, "again\n");
    EXPECT_EQ(day_file("20270101"), "[2027.01.01 00:00:00]  again\n");
}
