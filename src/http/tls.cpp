// TLS of the control API: the certificate pair, checked before use and presented per handshake.
#include "http/tls.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

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

// The PEM names a certificate block goes by.
static bool is_certificate_block(const char *name)
{
    return strcmp(name, PEM_STRING_X509) == 0 || strcmp(name, PEM_STRING_X509_OLD) == 0;
}

/*
 * The certificate and its chain from one PEM file. Every PEM block must be
 * whole: a block cut short or damaged (a file copied in half, say) is refused,
 * not taken as the end of the file. Blocks of other kinds (a key kept in the
 * same file) are passed over. Returns 0 or -1 with reason.
 */
static int read_certificates(const char *path, tls_pair_t &pair, char *reason, size_t size)
{
    BIO *file = BIO_new_file(path, "r");
    if (file == nullptr) {
        snprintf(reason, size, "cannot read the TLS certificate %s: %s", path, strerror(errno));
        return -1;
    }
    int result = 0;
    pair.chain = sk_X509_new_null();
    for (int block = 1; result == 0 && pair.chain != nullptr; block++) {
        char *name = nullptr;
        char *header = nullptr;
        unsigned char *data = nullptr;
        long length = 0;
        ERR_clear_error();
        if (PEM_read_bio(file, &name, &header, &data, &length) != 1) {
            // Only running out of blocks ends the file well.
            unsigned long error = ERR_peek_last_error();
            if (ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE) {
                snprintf(reason, size, "block %d of the TLS certificate %s is cut or damaged",
                         block, path);
                result = -1;
            }
            break;
        }
        if (is_certificate_block(name)) {
            const unsigned char *next = data;
            X509 *certificate = d2i_X509(nullptr, &next, length);
            if (certificate == nullptr || next != data + length) {
                X509_free(certificate);
                snprintf(reason, size, "block %d of the TLS certificate %s is not a certificate",
                         block, path);
                result = -1;
            } else if (pair.certificate == nullptr) {
                pair.certificate = certificate;
            } else if (sk_X509_push(pair.chain, certificate) == 0) {
                X509_free(certificate);
                snprintf(reason, size, "no memory for the chain in %s", path);
                result = -1;
            }
        }
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
    BIO_free(file);
    if (result == 0 && (pair.certificate == nullptr || pair.chain == nullptr)) {
        snprintf(reason, size, "no PEM certificate in %s", path);
        result = -1;
    }
    return result;
}

/*
 * Checks that the chain builds from the server's certificate to the file's
 * last one: each certificate was issued by the one after it (names, key ids,
 * the issuer's key usage) and carries its signature. Dates and trust are the
 * clients' to judge. Returns 0 or -1 with reason.
 */
static int check_chain(const char *path, const tls_pair_t &pair, char *reason, size_t size)
{
    X509 *subject = pair.certificate;
    for (int i = 0; i < sk_X509_num(pair.chain); i++) {
        X509 *issuer = sk_X509_value(pair.chain, i);
        EVP_PKEY *issuer_key = X509_get0_pubkey(issuer);
        if (X509_check_issued(issuer, subject) != X509_V_OK || issuer_key == nullptr ||
            X509_verify(subject, issuer_key) != 1) {
            snprintf(reason, size,
                     "the chain in the TLS certificate %s breaks: certificate %d did not issue "
                     "certificate %d",
                     path, i + 2, i + 1);
            return -1;
        }
        subject = issuer;
    }
    return 0;
}

int load_tls_pair(const char *cert_path, const char *key_path, tls_pair_t &pair, char *reason,
                  size_t size)
{
    int result = -1;
    FILE *file = nullptr;
    if (read_certificates(cert_path, pair, reason, size) != 0 ||
        check_chain(cert_path, pair, reason, size) != 0)
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
