#include "bus/tls_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "common/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string system_error_text(int error) { return std::generic_category().message(error); }

std::string openssl_reason(unsigned long code) {
    if (code == 0) return "";
    // A failed system call comes as "system lib"; its errno says what went wrong.
    if (ERR_SYSTEM_ERROR(code)) return system_error_text(ERR_GET_REASON(code));
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : "error " + std::to_string(code);
}

std::string openssl_error_text() { return openssl_reason(ERR_peek_last_error()); }

// Why `file` cannot be read at all, in the system's words; empty when it can.
std::string unreadable(const std::string& file) {
    const UniqueFd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!fd || fstat(fd.get(), &info) != 0) return system_error_text(errno);
    return S_ISDIR(info.st_mode) ? system_error_text(EISDIR) : "";
}

// The file named and why it cannot be used: the system's reason when it cannot be read, else
// OpenSSL's (no PEM data in it, a key that does not match the certificate...).
std::string file_error(const char* what, const std::string& file) {
    std::string reason = unreadable(file);
    // The first error names the fault in the file's content; the later ones only wrap it ("PEM lib").
    if (reason.empty()) reason = openssl_reason(ERR_peek_error());
    if (reason.empty()) reason = "not usable";
    return std::string("cannot use ") + what + " " + file + ": " + reason;
}

// The socket BIO of OpenSSL writes with write(), which raises SIGPIPE on a connection the peer
// has closed. This one sends with MSG_NOSIGNAL, as the plain path does.
int bio_write(BIO* bio, const char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t n = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int bio_read(BIO* bio, char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t n = recv(fd, data, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
    return static_cast<int>(n);
}

long bio_ctrl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* socket_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "drevik bus socket");
        BIO_meth_set_write(m, bio_write);
        BIO_meth_set_read(m, bio_read);
        BIO_meth_set_ctrl(m, bio_ctrl);
        return m;
    }();
    return method;
}

bool is_ip_address(const std::string& host) {
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Why a handshake failed, in the words OpenSSL has for it.
std::string handshake_failure(SSL* ssl, int error) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) {
        return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    }
    std::string reason = openssl_error_text();
    if (!reason.empty()) return reason;
    if (error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN) return "connection closed by the server";
    return "error " + std::to_string(error);
}

}  // namespace

void TlsContextFree::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

TlsContext make_tls_context(const TlsOptions& options, std::string& error) {
    ERR_clear_error();
    TlsContext context(SSL_CTX_new(TLS_client_method()));
    if (!context) {
        error = "cannot make a TLS context: " + openssl_error_text();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    const bool trusted = options.ca_file.empty()
                             ? SSL_CTX_set_default_verify_paths(context.get()) == 1
                             : SSL_CTX_load_verify_locations(context.get(), options.ca_file.c_str(), nullptr) == 1;
    if (!trusted) {
        error = options.ca_file.empty() ? "cannot load the system trust store: " + openssl_error_text()
                                        : file_error("CA file", options.ca_file);
        return nullptr;
    }
    if (options.cert_file.empty() != options.key_file.empty()) {
        error = "a client certificate needs both --tls-cert and --tls-key";
        return nullptr;
    }
    if (!options.cert_file.empty()) {
        ERR_clear_error();  // a trust store that loaded may still have queued what it skipped
        if (SSL_CTX_use_certificate_chain_file(context.get(), options.cert_file.c_str()) != 1) {
            error = file_error("certificate file", options.cert_file);
            return nullptr;
        }
        if (SSL_CTX_use_PrivateKey_file(context.get(), options.key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
            error = file_error("key file", options.key_file);
            return nullptr;
        }
    }
    return context;
}

bool start_tls(BusLink& link, ssl_ctx_st* context, const std::string& host, std::chrono::milliseconds timeout,
               int wake_fd, std::string& why) {
    ERR_clear_error();
    SSL* ssl = SSL_new(context);
    BIO* bio = ssl != nullptr ? BIO_new(socket_method()) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        why = "cannot start TLS: " + openssl_error_text();
        return false;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the BIO keeps its descriptor in its one data pointer.
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(link.fd.get())));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    // The name or address the operator gave must be the one the certificate vouches for.
    const bool named = is_ip_address(host)
                           ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1
                           : SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
    if (!named || !set_blocking(link.fd.get(), false)) {
        SSL_free(ssl);
        why = "cannot check the server's name " + host;
        return false;
    }
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(ssl);
        if (result == 1) break;
        const int error = SSL_get_error(ssl, result);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            why = handshake_failure(ssl, error);
            SSL_free(ssl);
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd fds[2] = {{link.fd.get(), static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0},
                         {wake_fd, POLLIN, 0}};
        int ready = -1;
        do {
            ready = poll(fds, 2, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0 || fds[1].revents != 0) {
            why = ready == 0 ? "TLS handshake timed out" : "TLS handshake interrupted";
            SSL_free(ssl);
            return false;
        }
    }
    link.tls = ssl;
    return true;
}

void end_tls(BusLink& link) {
    if (link.tls == nullptr) return;
    SSL_free(link.tls);
    link.tls = nullptr;
}
