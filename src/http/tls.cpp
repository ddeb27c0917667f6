// TLS of the control API: the certificate pair, checked before use and presented per handshake.
#include "http/tls.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

// The pair new handshakes present. Set before the HTTP thread starts, then only
// on that thread (reloads), which is also where every handshake runs.
static tls_pair_t g_tls_pair;

// Refuses to ask for a passphrase: the relay has no one to ask.
static int refuse_passphrase(char *, int, int, void *)
{
    return -1;
}

void release_tls_pair(tls_pair_t &pair)
{
    X509_free(pair.certificate);
    pair.certificate = nullptr;
    sk_X509_pop_free(pair.chain, X509_free);
    pair.chain = nullptr;
    EVP_PKEY_free(pair.key);
    pair.key = nullptr;
}

// The certificate and its chain from one PEM file. Returns 0 or -1 with reason.
static int read_certificates(const char *path, tls_pair_t &pair, char *reason, size_t size)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        snprintf(reason, size, "cannot read the TLS certificate %s: %s", path, strerror(errno));
        return -1;
    }
    pair.certificate = PEM_read_X509(file, nullptr, refuse_passphrase, nullptr);
    pair.chain = sk_X509_new_null();
    while (pair.certificate != nullptr && pair.chain != nullptr) {
        X509 *next = PEM_read_X509(file, nullptr, refuse_passphrase, nullptr);
        if (next == nullptr)
            break;
        if (sk_X509_push(pair.chain, next) == 0) {
            X509_free(next);
            break;
        }
    }
    fclose(file);
    if (pair.certificate == nullptr || pair.chain == nullptr) {
        snprintf(reason, size, "no PEM certificate in %s", path);
        return -1;
    }
    return 0;
}

int load_tls_pair(const char *cert_path, const char *key_path, tls_pair_t &pair, char *reason,
                  size_t size)
{
    int result = -1;
    FILE *file = nullptr;
    if (read_certificates(cert_path, pair, reason, size) != 0)
        goto out;
    file = fopen(key_path, "r");
    if (file == nullptr) {
        snprintf(reason, size, "cannot read the TLS key %s: %s", key_path, strerror(errno));
        goto out;
    }
    pair.key = PEM_read_PrivateKey(file, nullptr, refuse_passphrase, nullptr);
    fclose(file);
    if (pair.key == nullptr) {
        snprintf(reason, size, "no PEM private key without passphrase in %s", key_path);
        goto out;
    }
    if (X509_check_private_key(pair.certificate, pair.key) != 1) {
        snprintf(reason, size, "the TLS key %s does not belong to the certificate %s", key_path,
                 cert_path);
        goto out;
    }
    result = 0;
out:
    if (result != 0)
        release_tls_pair(pair);
    ERR_clear_error();
    return result;
}

void use_tls_pair(tls_pair_t &pair)
{
    release_tls_pair(g_tls_pair);
    g_tls_pair = pair;
    pair = tls_pair_t();
}

/*
 * Runs in each handshake, before the server's certificate is chosen. The
 * connection's copy of the context's certificates is emptied first, so a pair
 * of another key type loaded earlier can never be picked instead. The SSL
 * object takes its own references: a reload cannot pull them from under it.
 */
static int present_tls_pair(SSL *ssl, void *)
{
    if (g_tls_pair.certificate == nullptr)
        return 0;
    SSL_certs_clear(ssl);
    return SSL_use_cert_and_key(ssl, g_tls_pair.certificate, g_tls_pair.key, g_tls_pair.chain, 1) ==
                   1
               ? 1
               : 0;
}

int prepare_tls_context(SSL_CTX *context)
{
    if (context == nullptr || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) != 1)
        return -1;
    SSL_CTX_set_cert_cb(context, present_tls_pair, nullptr);
    return 0;
}
