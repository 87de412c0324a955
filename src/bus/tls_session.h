#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "bus/socket_io.h"

struct ssl_ctx_st;

// What the operator chose for TLS. Empty files mean: the system's trust store (OpenSSL's
// default paths, which honour SSL_CERT_FILE and SSL_CERT_DIR) and no client certificate.
struct TlsOptions {
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    bool any() const { return !ca_file.empty() || !cert_file.empty() || !key_file.empty(); }
};

struct TlsContextFree {
    void operator()(ssl_ctx_st* context) const;
};
using TlsContext = std::unique_ptr<ssl_ctx_st, TlsContextFree>;

// A client context: TLS 1.2 at least, peer verification on. Nothing and `error` set when a
// file cannot be used.
TlsContext make_tls_context(const TlsOptions& options, std::string& error);

// Runs the TLS handshake on `link.fd` for a server named `host` (a DNS name or an IP address,
// checked against its certificate) within `timeout`; `wake_fd` cuts it short. On success the
// link is TLS (and its socket non-blocking); on failure `why` says what went wrong and the
// link stays without TLS.
bool start_tls(BusLink& link, ssl_ctx_st* context, const std::string& host, std::chrono::milliseconds timeout,
               int wake_fd, std::string& why);

// Frees the link's TLS session, if any. Only when no other thread can use the link.
void end_tls(BusLink& link);
