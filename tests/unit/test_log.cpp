// Logger and time texts: tags, console and day-file shapes, day switch, concurrency.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/settings.h"
#include "testkit.h"

namespace
{

std::atomic<time_t> g_test_now{0};

time_t test_clock(void)
{
    return g_test_now.load();
}

time_t utc_time(int year, int month, int day, int hour, int minute, int second)
{
    struct tm parts;
    memset(&parts, 0, sizeof parts);
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return timegm(&parts);
}

// Sends fd 1 to a file between start() and stop(); stop() returns what was written.
class stdout_capture_t
{
  public:
    explicit stdout_capture_t(const std::string &path) : path_(path) {}
    ~stdout_capture_t()
    {
        if (saved_fd_ >= 0)
            stop();
    }
    void start()
    {
        fflush(stdout);
        saved_fd_ = dup(STDOUT_FILENO);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    std::string stop()
    {
        fflush(stdout);
        dup2(saved_fd_, STDOUT_FILENO);
        close(saved_fd_);
        saved_fd_ = -1;
        return read_text_file(path_);
    }

  private:
    std::string path_;
    int saved_fd_ = -1;
};

// 2026-12-05 08:41:37 UTC unless a test moves the clock.
class LogTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        log_dir_ = dir_ + "/log";
        mkdir(log_dir_.c_str(), 0755);
        snprintf(saved_log_dir_, sizeof saved_log_dir_, "%s", g_log_dir);
        snprintf(g_log_dir, sizeof g_log_dir, "%s", log_dir_.c_str());
        g_test_now = utc_time(2026, 12, 5, 8, 41, 37);
        set_clock_source(test_clock);
    }
    void TearDown() override
    {
        set_clock_source(nullptr);
        snprintf(g_log_dir, sizeof g_log_dir, "%s", saved_log_dir_);
        remove_tree(dir_);
    }
    std::string day_file(const char *day) const
    {
        return log_dir_ + "/mirevo-" + day + ".log";
    }
    // Logs one message and returns what reached the console.
    std::string log_and_capture(int level, const char *text)
    {
        stdout_capture_t capture(dir_ + "/stdout");
        capture.start();
        log_message(level, text);
        return capture.stop();
    }

    std::string dir_;
    std::string log_dir_;
    char saved_log_dir_[sizeof g_log_dir];
};

TEST_F(LogTest, level_selects_tag_in_console_and_file_shapes)
{
    struct case_t {
        int level;
        const char *tag;
    };
    const case_t cases[] = {
        {3, "[ERR] "},      {4, "[WARNING] "},  {6, ""},          {7, "[DEBUG] "}, {128, ""},
        {0, "[LVL0] "},     {1, "[LVL1] "},     {2, "[LVL2] "},   {5, "[LVL5] "},  {8, "[LVL8] "},
        {127, "[LVL127] "}, {129, "[LVL129] "}, {-1, "[LVL-1] "},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        unlink(day_file("20261205").c_str());
        std::string console = log_and_capture(c.level, "x\n");
        EXPECT_EQ(console, std::string("\x1b[2K\r[2026.12.05 08:41:37] ") + c.tag + "x\n");
        EXPECT_EQ(read_text_file(day_file("20261205")),
                  std::string("[2026.12.05 08:41:37] ") + c.tag + " x\n");
    }
}

TEST_F(LogTest, text_is_written_unchanged_never_used_as_format)
{
    const char *text = "rate %d of %s at %n%% done\n";
    std::string console = log_and_capture(6, text);
    EXPECT_EQ(console, std::string("\x1b[2K\r[2026.12.05 08:41:37] ") + text);
    EXPECT_EQ(read_text_file(day_file("20261205")), std::string("[2026.12.05 08:41:37]  ") + text);
}

TEST_F(LogTest, text_without_line_end_is_continued_by_next_entry_in_file)
{
    log_and_capture(3, "Creating source's SRT Socket failed");
    log_and_capture(6, "next\n");
    EXPECT_EQ(read_text_file(day_file("20261205")),
              "[2026.12.05 08:41:37] [ERR]  Creating source's SRT Socket failed"
              "[2026.12.05 08:41:37]  next\n");
}

TEST_F(LogTest, formatted_message_is_cut_to_buffer_size)
{
    std::string long_text(3000, 'a');
    stdout_capture_t capture(dir_ + "/stdout");
    capture.start();
    log_messagef(6, "%s", long_text.c_str());
    std::string console = capture.stop();
    EXPECT_EQ(console, "\x1b[2K\r[2026.12.05 08:41:37] " + std::string(LOG_MESSAGE_SIZE - 1, 'a'));
}

TEST_F(LogTest, format_number_selects_utc_time_text)
{
    struct case_t {
        int format;
        const char *text;
    };
    const case_t cases[] = {
        {0, "2026.12.05 08:41:37"},
        {1, "2026.12.05"},
        {2, "08:41:37"},
        {3, "20261205 084137"},
        {4, "20261205"},
        {5, "084137"},
        {6, "TIME_INVALID_FORMAT"},
        {-1, "TIME_INVALID_FORMAT"},
        {100, "TIME_INVALID_FORMAT"},
    };
    for (const case_t &c : cases) {
        char buf[TIME_TEXT_SIZE];
        EXPECT_STREQ(format_time(c.format, buf, sizeof buf), c.text) << "format " << c.format;
    }
    char buf[TIME_TEXT_SIZE];
    EXPECT_STREQ(format_time_custom("%Y%m%d", buf, sizeof buf), "20261205");
}

TEST_F(LogTest, time_text_ignores_local_time_zone)
{
    const char *saved = getenv("TZ");
    std::string saved_tz = saved != nullptr ? saved : "";
    setenv("TZ", "KIT-14", 1); // UTC+14: local time would read 22:41:37
    tzset();
    char buf[TIME_TEXT_SIZE];
    std::string text = format_time(0, buf, sizeof buf);
    if (saved != nullptr)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(text, "2026.12.05 08:41:37");
}

TEST_F(LogTest, midnight_starts_a_new_day_file)
{
    g_test_now = utc_time(2026, 12, 31, 23, 59, 59);
    log_and_capture(6, "last\n");
    g_test_now = utc_time(2027, 1, 1, 0, 0, 0);
    std::string console = log_and_capture(6, "first\n");

    EXPECT_EQ(console, "\x1b[2K\r[2027.01.01 00:00:00] first\n");
    EXPECT_EQ(read_text_file(day_file("20261231")), "[2026.12.31 23:59:59]  last\n");
    EXPECT_EQ(read_text_file(day_file("20270101")), "[2027.01.01 00:00:00]  first\n");
}

TEST_F(LogTest, removed_day_file_is_created_again_by_next_message)
{
    log_and_capture(6, "one\n");
    ASSERT_EQ(unlink(day_file("20261205").c_str()), 0);
    log_and_capture(6, "two\n");
    EXPECT_EQ(read_text_file(day_file("20261205")), "[2026.12.05 08:41:37]  two\n");
}

// Splits text after each occurrence of separator (the separator starts each piece).
std::vector<std::string> split_entries(const std::string &text, const std::string &separator)
{
    std::vector<std::string> pieces;
    size_t at = text.find(separator);
    EXPECT_EQ(at, 0u) << "output does not start with an entry";
    while (at != std::string::npos) {
        size_t next = text.find(separator, at + separator.size());
        pieces.push_back(text.substr(at, next == std::string::npos ? next : next - at));
        at = next;
    }
    return pieces;
}

TEST_F(LogTest, concurrent_messages_are_written_as_whole_entries)
{
    const int thread_count = 4;
    const int per_thread = 150;
    // Long texts so that unserialised writes would visibly interleave.
    const std::string padding(700, '.');
    std::set<std::string> expected;
    for (int t = 0; t < thread_count; t++)
        for (int i = 0; i < per_thread; i++)
            expected.insert("T" + std::to_string(t) + "-M" + std::to_string(i) + padding + "\n");

    stdout_capture_t capture(dir_ + "/stdout");
    capture.start();
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; t++) {
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < per_thread; i++) {
                std::string text =
                    "T" + std::to_string(t) + "-M" + std::to_string(i) + padding + "\n";
                log_message(t % 2 == 0 ? 6 : 3, text.c_str());
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::string console = capture.stop();

    const std::string stamp = "[2026.12.05 08:41:37] ";
    const std::string console_prefix = "\x1b[2K\r" + stamp;
    std::set<std::string> seen_console;
    std::vector<std::string> console_entries = split_entries(console, "\x1b[2K\r");
    EXPECT_EQ(console_entries.size(), expected.size());
    for (const std::string &entry : console_entries) {
        ASSERT_EQ(entry.compare(0, console_prefix.size(), console_prefix), 0) << entry;
        std::string rest = entry.substr(console_prefix.size());
        if (rest.compare(0, 6, "[ERR] ") == 0)
            rest = rest.substr(6);
        seen_console.insert(rest);
    }
    EXPECT_EQ(seen_console, expected);

    std::set<std::string> seen_file;
    size_t file_entries = 0;
    for (const std::string &entry : split_entries(read_text_file(day_file("20261205")), stamp)) {
        std::string rest = entry.substr(stamp.size());
        if (rest.compare(0, 7, "[ERR]  ") == 0)
            rest = rest.substr(7);
        else if (rest.compare(0, 1, " ") == 0)
            rest = rest.substr(1);
        seen_file.insert(rest);
        file_entries++;
    }
    EXPECT_EQ(file_entries, expected.size());
    EXPECT_EQ(seen_file, expected);
}

TEST_F(LogTest, unusable_log_folder_costs_only_the_file_entry)
{
    std::string plain_file = dir_ + "/plain";
    write_text_file(plain_file, "");
    // A folder name so long that the day file's path would not fit its buffer.
    std::string deep = dir_ + "/" + std::string(240 - dir_.size(), 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    ASSERT_LT(deep.size(), sizeof g_log_dir);

    const std::string folders[] = {dir_ + "/missing", plain_file + "/sub", deep};
    for (const std::string &folder : folders) {
        SCOPED_TRACE(folder);
        snprintf(g_log_dir, sizeof g_log_dir, "%s", folder.c_str());
        std::string console = log_and_capture(3, "still here\n");
        EXPECT_EQ(console, "\x1b[2K\r[2026.12.05 08:41:37] [ERR] still here\n");
    }
    struct stat info;
    EXPECT_NE(stat((dir_ + "/missing").c_str(), &info), 0) << "the logger must not create it";
    // A cut path must not leave a stray file under a shortened name.
    DIR *listing = opendir(deep.c_str());
    ASSERT_NE(listing, nullptr);
    std::vector<std::string> names;
    for (struct dirent *item = readdir(listing); item != nullptr; item = readdir(listing))
        if (strcmp(item->d_name, ".") != 0 && strcmp(item->d_name, "..") != 0)
            names.push_back(item->d_name);
    closedir(listing);
    EXPECT_TRUE(names.empty()) << names[0];
}

} // namespace
