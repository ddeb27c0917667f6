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

using deadline_t = std::chrono::steady_clock::time_point;

static deadline_t deadline_in(int timeout_ms)
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

static int remaining_ms(deadline_t deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? (int)left.count() : 0;
}

bool http_connect(http_connection_t &connection, int port)
{
    http_disconnect(connection);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return false;
    }
    connection.fd = fd;
    return true;
}

void http_disconnect(http_connection_t &connection)
{
    if (connection.fd >= 0)
        close(connection.fd);
    connection.fd = -1;
    connection.pending.clear();
}

bool http_send_raw(http_connection_t &connection, const std::string &bytes)
{
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
static int read_more(http_connection_t &connection, deadline_t deadline)
{
    struct pollfd waiter = {connection.fd, POLLIN, 0};
    if (poll(&waiter, 1, remaining_ms(deadline)) <= 0)
        return -1;
    char buf[65536];
    ssize_t n = recv(connection.fd, buf, sizeof buf, 0);
    if (n > 0)
        connection.pending.append(buf, (size_t)n);
    return n < 0 ? -1 : (int)n;
}

// Reads until pending holds size bytes; false (noting a close) when it cannot.
static bool read_until(http_connection_t &connection, size_t size, deadline_t deadline,
                       http_response_t &response)
{
    while (connection.pending.size() < size) {
        int n = read_more(connection, deadline);
        if (n <= 0) {
            response.connection_closed = n == 0;
            return false;
        }
    }
    return true;
}

http_response_t http_read_response(http_connection_t &connection, int timeout_ms)
{
    http_response_t response;
    deadline_t deadline = deadline_in(timeout_ms);
    size_t header_end;
    while ((header_end = connection.pending.find("\r\n\r\n")) == std::string::npos)
        if (!read_until(connection, connection.pending.size() + 1, deadline, response))
            return response;
    std::string head = connection.pending.substr(0, header_end) + "\r\n";
    size_t line = head.find("\r\n") + 2; // past the status line
    for (size_t end; (end = head.find("\r\n", line)) != std::string::npos; line = end + 2) {
        size_t colon = head.find(':', line);
        if (colon == std::string::npos || colon > end)
            continue;
        std::string name = head.substr(line, colon - line);
        for (char &c : name)
            c = (char)tolower((unsigned char)c);
        size_t value = head.find_first_not_of(' ', colon + 1);
        response.headers[name] = value < end ? head.substr(value, end - value) : "";
    }
    size_t length = strtoul(response.headers["content-length"].c_str(), nullptr, 10);
    size_t body_start = header_end + 4;
    if (!read_until(connection, body_start + length, deadline, response))
        return response;
    size_t space = head.find(' ');
    response.status = space < head.find("\r\n") ? atoi(head.c_str() + space + 1) : -1;
    response.content_type = response.headers["content-type"];
    response.body = connection.pending.substr(body_start, length);
    connection.pending.erase(0, body_start + length);
    return response;
}

http_response_t http_exchange(http_connection_t &connection, const std::string &method,
                              const std::string &target, const std::string &body, int timeout_ms)
{
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    // Like most clients, a POST or PUT states its (possibly empty) body length.
    if (!body.empty())
        request += "Content-Type: application/x-www-form-urlencoded\r\n";
    if (!body.empty() || method == "POST" || method == "PUT" || method == "PATCH")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (!http_send_raw(connection, request + "\r\n" + body))
        return http_response_t();
    return http_read_response(connection, timeout_ms);
}

bool http_peer_closed(http_connection_t &connection, int timeout_ms)
{
    deadline_t deadline = deadline_in(timeout_ms);
    for (;;) {
        int n = read_more(connection, deadline);
        if (n <= 0)
            return n == 0;
    }
}

http_response_t http_request(int port, const std::string &method, const std::string &target,
                             const std::string &body, int timeout_ms)
{
    http_connection_t connection;
    if (!http_connect(connection, port))
        return http_response_t();
    http_response_t response = http_exchange(connection, method, target, body, timeout_ms);
    http_disconnect(connection);
    return response;
}

bool wait_http_ready(int port, int timeout_ms)
{
    return wait_until(
        [port] {
            http_connection_t connection;
            bool connected = http_connect(connection, port);
            http_disconnect(connection);
            return connected;
        },
        timeout_ms);
}

std::string api_target(const std::string &path, const std::string &key, const std::string &query)
{
    return path + "?api_key=" + url_encode(key) + (query.empty() ? "" : "&" + query);
}

std::string url_encode(const std::string &text)
{
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

json_t *parse_json_body(const std::string &body)
{
    json_error_t error;
    return json_loadb(body.data(), body.size(), 0, &error);
}
