// A small HTTP/1.1 client for the tests: one-shot requests and kept-alive connections.
#include "http_client.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <sstream>

#include <openssl/x509v3.h>

bool http_connect(http_connection_t &connection, int port)
{
    http_disconnect(connection);
    connection.fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connection.fd >= 0 && connect(connection.fd, (struct sockaddr *)&addr, sizeof addr) == 0)
        return true;
    http_disconnect(connection);
    return false;
}

// SHA-256 of a certificate as hex ("" for none); releases it.
static std::string fingerprint(X509 *certificate)
{
    static const char hex_digits[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::string hex;
    if (certificate != nullptr && X509_digest(certificate, EVP_sha256(), digest, &length) == 1)
        for (unsigned int i = 0; i < length; i++)
            hex += {hex_digits[digest[i] >> 4], hex_digits[digest[i] & 15]};
    X509_free(certificate);
    return hex;
}

bool http_connect_tls(http_connection_t &connection, int port, const std::string &ca_file)
{
    if (!http_connect(connection, port))
        return false;
    connection.tls_context = SSL_CTX_new(TLS_client_method());
    if (connection.tls_context != nullptr &&
        SSL_CTX_load_verify_locations(connection.tls_context, ca_file.c_str(), nullptr) == 1) {
        SSL_CTX_set_verify(connection.tls_context, SSL_VERIFY_PEER, nullptr);
        connection.tls = SSL_new(connection.tls_context);
    }
    if (connection.tls != nullptr) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(connection.tls), "127.0.0.1");
        struct timeval wait = {10, 0};
        setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        SSL_set_fd(connection.tls, connection.fd);
        if (SSL_connect(connection.tls) == 1)
            return true;
    }
    http_disconnect(connection);
    return false;
}

std::string tls_peer_fingerprint(const http_connection_t &connection)
{
    return fingerprint(connection.tls != nullptr ? SSL_get1_peer_certificate(connection.tls)
                                                 : nullptr);
}

void http_disconnect(http_connection_t &connection)
{
    SSL_free(connection.tls);
    SSL_CTX_free(connection.tls_context);
    connection.tls = nullptr;
    connection.tls_context = nullptr;
    if (connection.fd >= 0)
        close(connection.fd);
    connection.fd = -1;
    connection.pending.clear();
}

bool http_send_raw(http_connection_t &connection, const std::string &bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n =
            connection.tls != nullptr
                ? SSL_write(connection.tls, bytes.data() + sent, (int)(bytes.size() - sent))
                : send(connection.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

// Reads more into pending within timeout_ms: 0 at end of stream, -1 on timeout or error.
static int read_more(http_connection_t &connection, int timeout_ms)
{
    struct timeval wait = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buf[65536];
    ssize_t n = connection.tls != nullptr ? SSL_read(connection.tls, buf, (int)sizeof buf)
                                          : recv(connection.fd, buf, sizeof buf, 0);
    if (n > 0)
        connection.pending.append(buf, (size_t)n);
    return n < 0 ? -1 : (int)n;
}

http_response_t http_read_response(http_connection_t &connection, int timeout_ms)
{
    http_response_t response;
    std::string &in = connection.pending;
    for (;;) {
        size_t head_end = in.find("\r\n\r\n");
        if (head_end != std::string::npos) {
            std::istringstream head(in.substr(0, head_end));
            std::string status_line, line;
            std::getline(head, status_line);
            while (std::getline(head, line)) {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                size_t colon = line.find(':');
                std::string name = line.substr(0, colon);
                for (char &c : name)
                    c = (char)tolower((unsigned char)c);
                size_t value = line.find_first_not_of(' ', colon + 1);
                if (colon != std::string::npos)
                    response.headers[name] = value == std::string::npos ? "" : line.substr(value);
            }
            size_t length = strtoul(response.headers["content-length"].c_str(), nullptr, 10);
            if (in.size() >= head_end + 4 + length) {
                response.status = atoi(status_line.c_str() + status_line.find(' ') + 1);
                response.content_type = response.headers["content-type"];
                response.body = in.substr(head_end + 4, length);
                in.erase(0, head_end + 4 + length);
                return response;
            }
        }
        int n = read_more(connection, timeout_ms);
        if (n <= 0) {
            response.connection_closed = n == 0;
            return response;
        }
    }
}

http_response_t http_exchange(http_connection_t &connection, const std::string &method,
                              const std::string &target, const std::string &body, int timeout_ms,
                              const std::string &headers)
{
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
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
    int n = 1;
    while (n > 0)
        n = read_more(connection, timeout_ms);
    return n == 0;
}

http_response_t http_request(int port, const std::string &method, const std::string &target,
                             const std::string &body, int timeout_ms, const std::string &headers)
{
    http_connection_t connection;
    http_response_t response;
    if (http_connect(connection, port))
        response = http_exchange(connection, method, target, body, timeout_ms, headers);
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

double metric_of(const relay_process_t &relay, const std::string &sample)
{
    std::string text =
        http_request(relay.http_port, "GET", api_target("/api/metrics", relay.api_key)).body;
    size_t at = text.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : atof(text.c_str() + at + sample.size() + 2);
}

double wait_metric(const relay_process_t &relay, const std::string &sample, double at_least,
                   int timeout_ms)
{
    double value = -1;
    wait_until([&] { return (value = metric_of(relay, sample)) >= at_least; }, timeout_ms);
    return value;
}

std::string listen_query(int port, const std::string &options)
{
    return "enabled=1&mode=listen&url=" + url_encode(srt_url("", port) + options);
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
