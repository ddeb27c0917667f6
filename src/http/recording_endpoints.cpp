// GET /api/recordings: a recording's closed segments, listed and fetched (streamed, Range).
#include "http/recording_endpoints.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "http/request.h"
#include "recording/recording_target.h"

#define DOWNLOAD_PIECE_BYTES 16384
#define DOWNLOAD_HEAD_ROOM 512
// A client that takes nothing for this long is closed.
#define DOWNLOAD_STALL_SECONDS 30

struct download_t {
    int fd = -1;
    int64_t next = 0; // the next byte to send
    int64_t end = 0;  // one past the last
};

// Downloads of the HTTP thread, by connection; only that thread touches them.
static std::map<struct lws *, download_t> g_downloads;

static bool all_digits(const char *text)
{
    return text[0] != '\0' && strspn(text, "0123456789") == strlen(text) && strlen(text) < 10;
}

// The folder of a recording target, looked up under g_routes_lock.
static bool folder_of(int32_t route_id, int32_t target_id, recording_settings_t &settings)
{
    pthread_mutex_lock(&g_routes_lock);
    bool found = recording_folder_of(route_id, target_id, settings);
    pthread_mutex_unlock(&g_routes_lock);
    return found;
}

static void utc_text(int64_t seconds, char *text, size_t size)
{
    time_t when = (time_t)seconds;
    struct tm parts;
    text[0] = '\0';
    if (gmtime_r(&when, &parts) != nullptr)
        strftime(text, size, "%Y-%m-%dT%H:%M:%SZ", &parts);
}

void handle_recordings(http_reply_t &reply)
{
    json_t *list = json_array();
    recording_settings_t settings;
    const char *route_text = query_param("route_id");
    const char *target_text = query_param("target_id");
    DIR *dir = nullptr;
    if (all_digits(route_text) && all_digits(target_text) &&
        folder_of(atoi(route_text), atoi(target_text), settings))
        dir = opendir(settings.folder);
    std::vector<std::string> names;
    while (dir != nullptr) {
        struct dirent *entry = readdir(dir);
        if (entry == nullptr)
            break;
        if (is_segment_name(entry->d_name))
            names.push_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        struct stat info;
        int64_t start = 0;
        if (fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || !is_segment_name(name.c_str(), &start))
            continue;
        // The last write is the last message's.
        int64_t end = (int64_t)info.st_mtime > start ? (int64_t)info.st_mtime : start;
        char start_text[32];
        char end_text[32];
        utc_text(start, start_text, sizeof start_text);
        utc_text(end, end_text, sizeof end_text);
        json_t *entry = json_object();
        json_object_set_new(entry, "name", json_string(name.c_str()));
        json_object_set_new(entry, "start", json_string(start_text));
        json_object_set_new(entry, "end", json_string(end_text));
        json_object_set_new(entry, "seconds", json_integer(end - start));
        json_object_set_new(entry, "bytes", json_integer((json_int_t)info.st_size));
        json_array_append_new(list, entry);
    }
    if (dir != nullptr)
        closedir(dir);
    set_json_reply(reply, list);
}

// The request path's segments, '/' separated, empty ones skipped; false when too long.
static bool path_segments(struct lws *wsi, std::vector<std::string> &segments)
{
    int total = lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI);
    char path[URI_PATH_SIZE];
    if (total <= 0 || total >= URI_PATH_SIZE ||
        lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI) < 0)
        return false;
    std::string text(path);
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('/', at);
        end = end == std::string::npos ? text.size() : end;
        if (end > at)
            segments.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return true;
}

bool is_recording_download(struct lws *wsi)
{
    std::vector<std::string> segments;
    return path_segments(wsi, segments) && segments.size() > 2 && segments[0] == "api" &&
           segments[1] == "recordings";
}

/*
 * Reads one "bytes=" range of a file of size bytes into [first, end). Returns
 * 1 for a range to send, 0 for none (whole file: no header, several ranges,
 * or another unit), -1 for one that cannot be satisfied.
 */
static int read_range(const char *header, int64_t size, int64_t *first, int64_t *end)
{
    if (strncmp(header, "bytes=", 6) != 0 || strchr(header, ',') != nullptr)
        return 0;
    const char *spec = header + 6;
    const char *dash = strchr(spec, '-');
    if (dash == nullptr)
        return 0;
    std::string from(spec, (size_t)(dash - spec));
    std::string to(dash + 1);
    bool has_from = !from.empty(), has_to = !to.empty();
    if ((has_from && strspn(from.c_str(), "0123456789") != from.size()) ||
        (has_to && strspn(to.c_str(), "0123456789") != to.size()) || (!has_from && !has_to))
        return 0;
    if (!has_from) { // the last n bytes
        long long last = atoll(to.c_str());
        if (last == 0)
            return -1;
        *first = last >= size ? 0 : size - last;
        *end = size;
        return 1;
    }
    long long a = atoll(from.c_str());
    long long b = has_to ? atoll(to.c_str()) : size - 1;
    if (a >= size || b < a)
        return -1;
    *first = a;
    *end = (b >= size ? size - 1 : b) + 1;
    return 1;
}

static int write_download_head(struct lws *wsi, unsigned int status, int64_t length,
                               const char *content_range, const char *error_body)
{
    unsigned char buffer[LWS_PRE + DOWNLOAD_HEAD_ROOM + 128];
    unsigned char *start = buffer + LWS_PRE;
    unsigned char *p = start;
    unsigned char *end = start + DOWNLOAD_HEAD_ROOM;
    const char *type = error_body != nullptr ? "application/json" : "video/mp2t";
    size_t body_length = error_body != nullptr ? strlen(error_body) : 0;
    if (lws_add_http_header_status(wsi, status, &p, end) != 0 ||
        lws_add_http_header_by_name(wsi, (const unsigned char *)"Content-Type:",
                                    (const unsigned char *)type, (int)strlen(type), &p, end) != 0 ||
        lws_add_http_header_by_name(wsi, (const unsigned char *)"Accept-Ranges:",
                                    (const unsigned char *)"bytes", 5, &p, end) != 0 ||
        lws_add_http_header_content_length(
            wsi, error_body != nullptr ? body_length : (lws_filepos_t)length, &p, end) != 0)
        return -1;
    if (content_range != nullptr &&
        lws_add_http_header_by_name(
            wsi, (const unsigned char *)"Content-Range:", (const unsigned char *)content_range,
            (int)strlen(content_range), &p, end) != 0)
        return -1;
    if (lws_finalize_http_header(wsi, &p, end) != 0)
        return -1;
    if (body_length > 0) {
        memcpy(p, error_body, body_length);
        p += body_length;
    }
    bool whole = error_body != nullptr || length == 0;
    return lws_write(wsi, start, (size_t)(p - start),
                     whole ? LWS_WRITE_HTTP : LWS_WRITE_HTTP_HEADERS) < 0
               ? -1
               : 0;
}

// A head-only answer: the transaction ends with it.
static int answer_without_body(struct lws *wsi, unsigned int status, const char *content_range,
                               const char *error_body)
{
    if (write_download_head(wsi, status, 0, content_range, error_body) != 0)
        return 1;
    return lws_http_transaction_completed(wsi) != 0 ? -1 : 0;
}

int start_recording_download(struct lws *wsi)
{
    static const char not_found[] = "{\"error\":\"Not found\"}";
    std::vector<std::string> segments;
    recording_settings_t settings;
    if (!path_segments(wsi, segments) || segments.size() != 5 || !all_digits(segments[2].c_str()) ||
        !all_digits(segments[3].c_str()) || !is_segment_name(segments[4].c_str()) ||
        !folder_of(atoi(segments[2].c_str()), atoi(segments[3].c_str()), settings))
        return answer_without_body(wsi, 404, nullptr, not_found);
    // The name holds no '/' and no "..": it stays in the folder; a link is not followed.
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", settings.folder, segments[4].c_str());
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        fd = -1;
    }
    if (fd < 0)
        return answer_without_body(wsi, 404, nullptr, not_found);
    int64_t size = (int64_t)info.st_size;
    int64_t first = 0, end = size;
    char range_header[128] = "";
    char content_range[96];
    int range = 0;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_RANGE) > 0 &&
        lws_hdr_copy(wsi, range_header, sizeof range_header, WSI_TOKEN_HTTP_RANGE) > 0)
        range = read_range(range_header, size, &first, &end);
    if (range < 0) {
        close(fd);
        snprintf(content_range, sizeof content_range, "bytes */%lld", (long long)size);
        return answer_without_body(wsi, 416, content_range,
                                   "{\"error\":\"Range not satisfiable\"}");
    }
    snprintf(content_range, sizeof content_range, "bytes %lld-%lld/%lld", (long long)first,
             (long long)end - 1, (long long)size);
    if (write_download_head(wsi, range > 0 ? 206 : 200, end - first,
                            range > 0 ? content_range : nullptr, nullptr) != 0) {
        close(fd);
        return 1;
    }
    if (end == first) {
        close(fd);
        return lws_http_transaction_completed(wsi) != 0 ? -1 : 0;
    }
    g_downloads[wsi] = {fd, first, end};
    lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_CONTENT, DOWNLOAD_STALL_SECONDS);
    lws_callback_on_writable(wsi);
    return 0;
}

bool write_recording_download(struct lws *wsi, int *result)
{
    auto found = g_downloads.find(wsi);
    if (found == g_downloads.end())
        return false;
    download_t &download = found->second;
    unsigned char buffer[LWS_PRE + DOWNLOAD_PIECE_BYTES];
    int64_t want = download.end - download.next;
    size_t piece = want < DOWNLOAD_PIECE_BYTES ? (size_t)want : DOWNLOAD_PIECE_BYTES;
    ssize_t got = pread(download.fd, buffer + LWS_PRE, piece, download.next);
    *result = 0;
    if (got <= 0) { // the file shrank (retention): the answer cannot be whole
        *result = -1;
        return true;
    }
    download.next += got;
    bool last = download.next >= download.end;
    if (lws_write(wsi, buffer + LWS_PRE, (size_t)got,
                  last ? LWS_WRITE_HTTP_FINAL : LWS_WRITE_HTTP) < 0) {
        *result = -1;
        return true;
    }
    if (!last) {
        lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_CONTENT, DOWNLOAD_STALL_SECONDS);
        lws_callback_on_writable(wsi);
        return true;
    }
    close(download.fd);
    g_downloads.erase(found);
    lws_set_timeout(wsi, NO_PENDING_TIMEOUT, 0);
    *result = lws_http_transaction_completed(wsi) != 0 ? -1 : 0;
    return true;
}

void forget_recording_download(struct lws *wsi)
{
    auto found = g_downloads.find(wsi);
    if (found == g_downloads.end())
        return;
    close(found->second.fd);
    g_downloads.erase(found);
}
