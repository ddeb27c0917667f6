// TLS of the control API: the certificate pair, checked before use and presented per handshake.
#pragma once

#include <stddef.h>

#include <openssl/ssl.h>

// A certificate with its chain and the private key that belongs to it; owned
// references, released by release_tls_pair.
struct tls_pair_t {
    X509 *certificate = nullptr;
    STACK_OF(X509) *chain = nullptr;
    EVP_PKEY *key = nullptr;
};

/*
 * Reads the PEM file cert_path (the first certificate is the server's, any
 * others its chain) and the PEM private key key_path, and checks that every
 * PEM block of cert_path is whole, that each certificate of the chain issued
 * the one before it, and that the key belongs to the certificate. Returns 0,
 * or -1 with one line of reason in reason (pair is then empty). A key locked
 * with a passphrase is refused, never asked for. Leaves the thread's OpenSSL
 * error queue empty.
 */
int load_tls_pair(const char *cert_path, const char *key_path, tls_pair_t &pair, char *reason,
                  size_t size);
void release_tls_pair(tls_pair_t &pair);

// Makes pair the one every later handshake presents, and takes it over (pair is
// left empty); connections already open keep the one they started with.
// HTTP thread, or before it starts.
void use_tls_pair(tls_pair_t &pair);

// Prepares the server's SSL_CTX: TLS 1.2 and 1.3 only, and the pair in use
// chosen at each handshake. Returns 0, or -1 when the context refuses.
int prepare_tls_context(SSL_CTX *context);
