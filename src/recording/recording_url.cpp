// The file:///<folder>?segment=&keep=&maxbytes= target URL and its folder.
#include "recording/recording_url.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#define FILE_SCHEME "file://"

bool is_recording_url(const char *url)
{
    return strncmp(url, FILE_SCHEME, sizeof FILE_SCHEME - 1) == 0;
}

// A whole decimal number within [low, high].
static bool whole_number(const std::string &text, long long low, long long high, long long *out)
{
    if (text.empty() || text.size() > 18 || strspn(text.c_str(), "0123456789") != text.size())
        return false;
    long long value = atoll(text.c_str());
    if (value < low || value > high)
        return false;
    *out = value;
    return true;
}

// The folder part: absolute, no "." or ".." component, no '%' or control byte.
static int check_folder(const std::string &folder, char *reason, size_t size)
{
    if (folder.empty() || folder[0] != '/') {
        snprintf(reason, size, "a file:// url names an absolute folder (file:///path)");
        return -1;
    }
    if (folder.size() >= RECORDING_FOLDER_SIZE) {
        snprintf(reason, size, "the folder is longer than %d characters",
                 RECORDING_FOLDER_SIZE - 1);
        return -1;
    }
    for (char c : folder)
        if ((unsigned char)c < 0x20 || c == 0x7f || c == '%' || c == '#') {
            snprintf(reason, size, "the folder holds a character a folder may not have here");
            return -1;
        }
    size_t at = 0;
    while (at < folder.size()) {
        size_t end = folder.find('/', at + 1);
        std::string part =
            folder.substr(at + 1, (end == std::string::npos ? folder.size() : end) - at - 1);
        if (part == "." || part == "..") {
            snprintf(reason, size, "the folder may not hold \".\" or \"..\"");
            return -1;
        }
        at = end == std::string::npos ? folder.size() : end;
    }
    return 0;
}

// One "key=value" option into settings; given marks those seen.
static int read_option(const std::string &option, recording_settings_t &settings, bool given[3],
                       char *reason, size_t size)
{
    static const char *const names[3] = {"segment", "keep", "maxbytes"};
    static const long long low[3] = {RECORDING_SEGMENT_MIN, 0, 0};
    static const long long high[3] = {RECORDING_SEGMENT_MAX, RECORDING_KEEP_MAX_DAYS,
                                      (long long)INT64_MAX / 2};
    size_t equals = option.find('=');
    std::string key = option.substr(0, equals);
    int known = -1;
    for (int i = 0; i < 3; i++)
        if (key == names[i])
            known = i;
    if (known < 0) {
        snprintf(reason, size, "unknown option %.40s", key.c_str());
        return -1;
    }
    if (given[known]) {
        snprintf(reason, size, "option %s is given twice", names[known]);
        return -1;
    }
    given[known] = true;
    long long value = 0;
    if (equals == std::string::npos ||
        !whole_number(option.substr(equals + 1), low[known], high[known], &value)) {
        snprintf(reason, size, "%s must be a whole number from %lld to %lld", names[known],
                 low[known], high[known]);
        return -1;
    }
    if (known == 0)
        settings.segment_seconds = (int32_t)value;
    else if (known == 1)
        settings.keep_days = (int32_t)value;
    else
        settings.max_bytes = value;
    return 0;
}

int parse_recording_url(const char *url, recording_settings_t &settings, char *reason, size_t size)
{
    settings = recording_settings_t{};
    if (!is_recording_url(url)) {
        snprintf(reason, size, "not a file:// url");
        return -1;
    }
    const char *rest = url + sizeof FILE_SCHEME - 1;
    const char *question = strchr(rest, '?');
    std::string folder(rest, question != nullptr ? (size_t)(question - rest) : strlen(rest));
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (check_folder(folder, reason, size) != 0)
        return -1;
    snprintf(settings.folder, sizeof settings.folder, "%s", folder.c_str());
    bool given[3] = {false, false, false};
    const char *at = question != nullptr ? question + 1 : "";
    while (*at != '\0') {
        const char *end = strchr(at, '&');
        size_t length = end != nullptr ? (size_t)(end - at) : strlen(at);
        if (length > 0 && read_option(std::string(at, length), settings, given, reason, size) != 0)
            return -1;
        at += length;
        if (*at == '&')
            at++;
    }
    return 0;
}

int prepare_recording_folder(const char *folder, char *reason, size_t size)
{
    char path[RECORDING_FOLDER_SIZE];
    snprintf(path, sizeof path, "%s", folder);
    // Each missing part from the top down, 0750 whatever the umask.
    for (char *slash = strchr(path + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash != nullptr)
            *slash = '\0';
        struct stat info;
        if (stat(path, &info) != 0) {
            if (errno != ENOENT || mkdir(path, 0750) != 0) {
                snprintf(reason, size, "recording folder %s cannot be created: %s", path,
                         strerror(errno));
                return -1;
            }
            chmod(path, 0750);
        }
        if (slash == nullptr)
            break;
        *slash = '/';
    }
    struct stat info;
    if (stat(folder, &info) != 0 || !S_ISDIR(info.st_mode)) {
        snprintf(reason, size, "recording folder %s is not a folder", folder);
        return -1;
    }
    if (access(folder, W_OK | X_OK) != 0) {
        snprintf(reason, size, "recording folder %s cannot be written: %s", folder,
                 strerror(errno));
        return -1;
    }
    return 0;
}
