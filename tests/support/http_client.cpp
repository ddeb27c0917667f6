// A small HTTP/1.1 client for the tests: one-shot requests and kept-alive connections.
#include "http_client.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

static int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? (int)left.count() : 0;
}

bool http_connect(http_connection_t &connection, int port) {
    http_disconnect(connection);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return false;
    }
    connection.fd = fd;
    connection.pending.clear();
    return true;
}

void http_disconnect(http_connection_t &connection) {
    if (connection.fd >= 0)
        close(connection.fd);
    connection.fd = -1;
    connection.pending.clear();
}

bool http_send_raw(http_connection_t &connection, const std::string &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(connection.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

// Reads more bytes into pending; 0 at end of stream, -1 on timeout or error.
static int read_more(http_connection_t &connection, int timeout_ms) {
    struct pollfd waiter = {connection.fd, POLLIN, 0};
    if (poll(&waiter, 1, timeout_ms) <= 0)
        return -1;
    char buf[65536];
    ssize_t n = recv(connection.fd, buf, sizeof buf, 0);
    if (n < 0)
        return -1;
    connection.pending.append(buf, (size_t)n);
    return (int)n;
}

http_response_t http_read_response(http_connection_t &connection, int timeout_ms) {
    http_response_t response;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t header_end;
    while ((header_end = connection.pending.find("\r\n\r\n")) == std::string::npos) {
        int n = read_more(connection, remaining_ms(deadline));
        if (n <= 0) {
            response.connection_closed = n == 0;
            return response;
        }
    }
    std::string head = connection.pending.substr(0, header_end);
    size_t line_end = head.find("\r\n");
    std::string status_line = head.substr(0, line_end);
    size_t space = status_line.find(' ');
    int status = space != std::string::npos ? atoi(status_line.c_str() + space + 1) : -1;
    size_t at = line_end;
    while (at != std::string::npos && at < head.size()) {
        size_t start = at + 2;
        size_t end = head.find("\r\n", start);
        std::string line = head.substr(start, end == std::string::npos ? end : end - start);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char &c : name)
                c = (char)tolower((unsigned char)c);
            size_t value_start = line.find_first_not_of(' ', colon + 1);
            response.headers[name] =
                value_start == std::string::npos ? "" : line.substr(value_start);
        }
        at = end;
    }
    size_t length = 0;
    auto content_length = response.headers.find("content-length");
    if (content_length != response.headers.end())
        length = strtoul(content_length->second.c_str(), nullptr, 10);
    size_t body_start = header_end + 4;
    while (connection.pending.size() < body_start + length) {
        int n = read_more(connection, remaining_ms(deadline));
        if (n <= 0) {
            response.connection_closed = n == 0;
            return response;
        }
    }
    response.status = status;
    response.content_type = response.headers["content-type"];
    response.body = connection.pending.substr(body_start, length);
    connection.pending.erase(0, body_start + length);
    return response;
}

http_response_t http_exchange(http_connection_t &connection, const std::string &method,
                              const std::string &target, const std::string &body, int timeout_ms) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    // Like most clients, a POST or PUT states its (possibly empty) body length.
    if (!body.empty())
        request += "Content-Type: application/x-www-form-urlencoded\r\n";
    if (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    if (!http_send_raw(connection, request))
        return http_response_t();
    return http_read_response(connection, timeout_ms);
}

bool http_peer_closed(http_connection_t &connection, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int n = read_more(connection, remaining_ms(deadline));
        if (n == 0)
            return true;
        if (n < 0)
            return false;
    }
}

http_response_t http_request(int port, const std::string &method, const std::string &target,
                             const std::string &body, int timeout_ms) {
    http_connection_t connection;
    if (!http_connect(connection, port))
        return http_response_t();
    http_response_t response = http_exchange(connection, method, target, body, timeout_ms);
    http_disconnect(connection);
    return response;
}

bool wait_http_ready(int port, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        http_connection_t connection;
        if (http_connect(connection, port)) {
            http_disconnect(connection);
            return true;
        }
        if (remaining_ms(deadline) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string api_target(const std::string &path, const std::string &key, const std::string &query) {
    std::string target = path + "?api_key=" + url_encode(key);
    if (!query.empty())
        target += "&" + query;
    return target;
}

std::string url_encode(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += (char)c;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

json_t *parse_json_body(const std::string &body) {
    json_error_t error;
    return json_loadb(body.data(), body.size(), 0, &error);
}
