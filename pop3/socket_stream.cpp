#include "pop3/socket_stream.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Waits are cut into slices this long so that a stop request is seen in time.
constexpr int kSliceMs = 100;

bool StopRequested(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// Milliseconds left until `deadline`, at most one slice.
int SliceUntil(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) {
        return kSliceMs;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, std::min<long long>(left, kSliceMs)));
}

// The system's resolver cannot be interrupted, so a lookup runs on a thread of its own
// that the caller may abandon; the shared state outlives whichever side ends last.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    in_addr address{};
};

int ResolveName(const char* host, in_addr& address, Clock::time_point deadline,
                const std::atomic<bool>* stop) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name = std::string(host)] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->error = rc;
        if (rc == 0) {
            lookup->address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
            freeaddrinfo(result);
        }
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();

    std::unique_lock<std::mutex> lock(lookup->mutex);
    while (!lookup->finished) {
        if (StopRequested(stop) || Clock::now() >= deadline) {
            return EAI_AGAIN;
        }
        lookup->done.wait_for(lock, std::chrono::milliseconds(SliceUntil(deadline) + 1));
    }
    address = lookup->address;
    return lookup->error;
}

// OpenSSL writes to the socket with write(): a peer that went away would raise SIGPIPE
// and end the whole program. A mail checker has no use for that signal.
void IgnoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

bool IsAddressLiteral(const std::string& host) {
    in6_addr any{};
    return inet_pton(AF_INET, host.c_str(), &any) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    return BioText(bio.get());
}

std::string TimeText(const ASN1_TIME* time) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    ASN1_TIME_print(bio.get(), time);
    return BioText(bio.get());
}

std::string Sha256Hex(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

CertificateInfo DescribeCertificate(X509* certificate) {
    CertificateInfo info;
    info.subject = NameText(X509_get_subject_name(certificate));
    info.issuer = NameText(X509_get_issuer_name(certificate));
    info.notBefore = TimeText(X509_get0_notBefore(certificate));
    info.notAfter = TimeText(X509_get0_notAfter(certificate));
    info.fingerprint = Sha256Hex(certificate);
    return info;
}

// Why the system's trust store refused a certificate, in the user's words.
std::string VerifyText(long result) {
    switch (result) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "it has expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "it is not valid yet";
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return "it is for another host name";
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "it is self-signed";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return "its issuer is unknown";
        default:
            return X509_verify_cert_error_string(result);
    }
}

// Every reason that applies, after the one the check failed on: a self-signed
// certificate for another name is both, and trusting it accepts both.
std::vector<std::string> EveryReason(X509* certificate, const std::string& host,
                                     std::string first) {
    std::vector<std::string> reasons{std::move(first)};
    const auto add = [&reasons](bool applies, const char* reason) {
        if (applies && std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) {
            reasons.emplace_back(reason);
        }
    };
    add(X509_check_issued(certificate, certificate) == X509_V_OK, "it is self-signed");
    const int named = IsAddressLiteral(host)
                          ? X509_check_ip_asc(certificate, host.c_str(), 0)
                          : X509_check_host(certificate, host.data(), host.size(),
                                            X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr);
    add(named != 1, "it is for another host name");
    add(X509_cmp_current_time(X509_get0_notAfter(certificate)) < 0, "it has expired");
    add(X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0, "it is not valid yet");
    return reasons;
}

// Why a handshake failed, from OpenSSL's error queue.
std::string HandshakeText(int sslError) {
    const unsigned long error = ERR_peek_last_error();
    ERR_clear_error();
    if (error == 0) {
        return sslError == SSL_ERROR_SYSCALL ? "the server closed the connection" : "";
    }
    const int reason = ERR_GET_REASON(error);
    if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION) {
        return "the server offers only TLS versions older than 1.2";
    }
    const char* text = ERR_reason_error_string(error);
    return text != nullptr ? text : "error " + std::to_string(error);
}

}  // namespace

struct SocketStream::Tls {
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context{nullptr, &SSL_CTX_free};
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{nullptr, &SSL_free};
};

SocketStream::SocketStream() = default;

SocketStream::~SocketStream() {
    Close();
}

int SocketStream::Fail(FailureKind kind, std::string detail) {
    failure_.kind = kind;
    failure_.detail = std::move(detail);
    return 0;
}

int SocketStream::FailWithErrno(int error) {
    lastError_ = error;
    switch (error) {
        case ECONNREFUSED:
            return Fail(FailureKind::kRefused);
        case ETIMEDOUT:
            return Fail(FailureKind::kTimedOut);
        default:
            return Fail(FailureKind::kConnection, std::strerror(error));
    }
}

int SocketStream::Create() {
    Close();  // a second Create must not leak the first socket
    failure_ = Failure{};
    handle_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (handle_ == -1) {
        return FailWithErrno(errno);
    }
    lastError_ = 0;
    return 1;
}

int SocketStream::Connect(const char* host, int port, int timeoutMs,
                          const std::atomic<bool>* stop) {
    const Clock::time_point deadline = timeoutMs >= 0
                                           ? Clock::now() + std::chrono::milliseconds(timeoutMs)
                                           : Clock::time_point::max();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    // A dotted address is taken as it stands and never looked up by name.
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        const int rc = ResolveName(host, addr.sin_addr, deadline, stop);
        if (rc != 0) {
            lastError_ = rc;  // a getaddrinfo code (EAI_*, negative)
            if (StopRequested(stop)) {
                return Fail(FailureKind::kStopped);
            }
            return Fail(rc == EAI_AGAIN ? FailureKind::kTimedOut : FailureKind::kHostNotFound);
        }
    }
    return ConnectAddress(addr, deadline, stop);
}

int SocketStream::ConnectAddress(const sockaddr_in& addr, Clock::time_point deadline,
                                 const std::atomic<bool>* stop) {
    if (handle_ == -1) {
        return FailWithErrno(EBADF);
    }
    const int rc = connect(handle_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int error = rc == 0 ? 0 : errno;
    while (error == EINPROGRESS || error == EINTR) {
        if (StopRequested(stop)) {
            lastError_ = ETIMEDOUT;
            return Fail(FailureKind::kStopped);
        }
        if (Clock::now() >= deadline) {
            error = ETIMEDOUT;
            break;
        }
        pollfd p{handle_, POLLOUT, 0};
        const int ready = poll(&p, 1, SliceUntil(deadline));
        if (ready == -1 && errno != EINTR) {
            error = errno;
        } else if (ready == 1) {
            socklen_t len = sizeof error;
            if (getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &len) == -1) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        return FailWithErrno(error);
    }
    lastError_ = 0;
    return 1;
}

void SocketStream::SetWaitLimits(int silenceMs, const std::atomic<bool>* stop) {
    silenceMs_ = silenceMs;
    stop_ = stop;
}

Clock::time_point SocketStream::SilenceDeadline() const {
    return silenceMs_ >= 0 ? Clock::now() + std::chrono::milliseconds(silenceMs_)
                           : Clock::time_point::max();
}

bool SocketStream::WaitFor(short events, Clock::time_point deadline) {
    for (;;) {
        if (StopRequested(stop_)) {
            Fail(FailureKind::kStopped);
            return false;
        }
        if (Clock::now() >= deadline) {
            lastError_ = ETIMEDOUT;
            Fail(FailureKind::kTimedOut);
            return false;
        }
        pollfd p{handle_, events, 0};
        const int ready = poll(&p, 1, SliceUntil(deadline));
        if (ready == -1 && errno != EINTR) {
            FailWithErrno(errno);
            return false;
        }
        if (ready == 1) {
            return true;  // errors and a closed peer are told by the next call
        }
    }
}

int SocketStream::StartTls(const std::string& host, const std::string& trustedFingerprint) {
    if (handle_ == -1) {
        return FailWithErrno(EBADF);
    }
    IgnoreBrokenPipes();
    ERR_clear_error();
    auto tls = std::make_unique<Tls>();
    tls->context.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* context = tls->context.get();
    if (context == nullptr || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_default_verify_paths(context) != 1) {
        return Fail(FailureKind::kHandshake, HandshakeText(SSL_ERROR_SSL));
    }
    // The handshake runs to its end whatever the verdict; CheckCertificate then decides,
    // so that a certificate the user trusted by its fingerprint can be accepted.
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    tls->ssl.reset(SSL_new(context));
    SSL* ssl = tls->ssl.get();
    if (ssl == nullptr || SSL_set_fd(ssl, handle_) != 1) {
        return Fail(FailureKind::kHandshake, HandshakeText(SSL_ERROR_SSL));
    }
    if (IsAddressLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        // The name must be among the subject's alternative names: a certificate that has
        // none is not taken on its common name, which no authority vouches for today.
        SSL_set_hostflags(
            ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        SSL_set1_host(ssl, host.c_str());
    }
    // The whole handshake must end within the silence limit, however the peer trickles.
    const Clock::time_point deadline = SilenceDeadline();
    for (;;) {
        const int rc = SSL_connect(ssl);
        if (rc == 1) {
            break;
        }
        const int error = SSL_get_error(ssl, rc);
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            return Fail(FailureKind::kHandshake, HandshakeText(error));
        }
        if (!WaitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
            return 0;
        }
    }
    tls_ = std::move(tls);
    if (CheckCertificate(host, trustedFingerprint) == 0) {
        tls_.reset();  // no byte may travel over a connection that is not trusted
        return 0;
    }
    return 1;
}

int SocketStream::CheckCertificate(const std::string& host, const std::string& trustedFingerprint) {
    SSL* ssl = tls_->ssl.get();
    std::unique_ptr<X509, decltype(&X509_free)> certificate(SSL_get1_peer_certificate(ssl),
                                                            &X509_free);
    if (!certificate) {
        return Fail(FailureKind::kCertificate, "the server sent none");
    }
    CertificateInfo info = DescribeCertificate(certificate.get());
    if (!trustedFingerprint.empty()) {
        if (info.fingerprint == trustedFingerprint) {
            return 1;
        }
        Fail(FailureKind::kCertificate, "it changed since it was trusted");
    } else {
        const long verdict = SSL_get_verify_result(ssl);
        if (verdict == X509_V_OK) {
            return 1;
        }
        Fail(FailureKind::kCertificate, VerifyText(verdict));
    }
    info.reasons = EveryReason(certificate.get(), host, failure_.detail);
    failure_.certificate = info;
    return 0;
}

bool SocketStream::Secure() const {
    return tls_ != nullptr;
}

int SocketStream::Send(const char* buffer, std::size_t count) {
    if (handle_ == -1) {
        return FailWithErrno(EBADF);
    }
    // A short write is continued until the whole line is out, or fails. Each piece that
    // goes out restarts the silence limit.
    std::size_t sent = 0;
    Clock::time_point deadline = SilenceDeadline();
    while (sent < count) {
        short waitFor = POLLOUT;
        if (tls_) {
            const int n =
                SSL_write(tls_->ssl.get(), buffer + sent,
                          static_cast<int>(std::min<std::size_t>(count - sent, INT32_MAX)));
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                deadline = SilenceDeadline();
                continue;
            }
            const int error = SSL_get_error(tls_->ssl.get(), n);
            if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
                ERR_clear_error();
                return Fail(FailureKind::kConnection, "the secure connection broke");
            }
            waitFor = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        } else {
            const ssize_t n = send(handle_, buffer + sent, count - sent, MSG_NOSIGNAL);
            if (n >= 0) {
                sent += static_cast<std::size_t>(n);
                deadline = SilenceDeadline();
                continue;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return FailWithErrno(errno);
            }
        }
        if (!WaitFor(waitFor, deadline)) {
            return 0;
        }
    }
    return 1;
}

long SocketStream::Receive(char* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    if (handle_ == -1) {
        FailWithErrno(EBADF);
        return -1;
    }
    if (tls_) {
        return ReceiveTls(buffer, capacity);
    }
    const Clock::time_point deadline = SilenceDeadline();
    for (;;) {
        const ssize_t n = recv(handle_, buffer, capacity, 0);
        if (n > 0) {
            AcknowledgeAtOnce();
            return static_cast<long>(n);
        }
        if (n == 0) {
            Fail(FailureKind::kConnection, "the server closed the connection");
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            FailWithErrno(errno);
            return -1;
        }
        if (!WaitFor(POLLIN, deadline)) {
            return -1;
        }
    }
}

// Pipelined replies come in pieces; a server that holds a piece until the one before
// is acknowledged (Nagle's rule, common behind proxies) would otherwise wait out our
// delayed acknowledgement, 40 ms at a time. The setting lapses, so it is renewed.
void SocketStream::AcknowledgeAtOnce() const {
#ifdef TCP_QUICKACK
    const int on = 1;
    setsockopt(handle_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

long SocketStream::ReceiveTls(char* buffer, std::size_t capacity) {
    SSL* ssl = tls_->ssl.get();
    const Clock::time_point deadline = SilenceDeadline();
    for (;;) {
        const int n =
            SSL_read(ssl, buffer, static_cast<int>(std::min<std::size_t>(capacity, INT32_MAX)));
        if (n > 0) {
            AcknowledgeAtOnce();
            return n;
        }
        const int error = SSL_get_error(ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN) {
            Fail(FailureKind::kConnection, "the server closed the connection");
            return 0;
        }
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            Fail(FailureKind::kConnection, "the secure connection broke");
            return error == SSL_ERROR_SYSCALL ? 0 : -1;
        }
        if (!WaitFor(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
            return -1;
        }
    }
}

int SocketStream::PollReadable(int& readable) {
    return WaitReadable(readable, 0);
}

int SocketStream::WaitReadable(int& readable, int waitMs) {
    if (handle_ == -1) {
        lastError_ = EBADF;
        return 0;
    }
    SSL* ssl = tls_ ? tls_->ssl.get() : nullptr;
    // Bytes OpenSSL holds already may complete a record without the socket's help. A
    // close_notify already seen counts too: the peer may keep the TCP connection open,
    // and the socket would then stay silent until the limit.
    if (ssl != nullptr && ((SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0 ||
                           SSL_pending(ssl) > 0 || (SSL_has_pending(ssl) == 1 && PeekTls()))) {
        readable = 1;
        return 1;
    }
    pollfd p{handle_, POLLIN, 0};
    const int n = poll(&p, 1, waitMs);
    if (n == -1) {
        if (errno == EINTR) {
            readable = 0;
            return 1;
        }
        lastError_ = errno;
        return 0;
    }
    if (n == 1 && (p.revents & POLLNVAL) != 0) {
        lastError_ = EBADF;
        return 0;
    }
    // A closed peer or an error also counts as readable: the following Receive tells.
    readable = n != 0 ? 1 : 0;
    if (ssl != nullptr && readable == 1) {
        readable = PeekTls() ? 1 : 0;
    }
    return 1;
}

// Bytes on the socket may be TLS records that carry no data (a session ticket): only
// data, the end of the stream or an error make the stream readable.
bool SocketStream::PeekTls() {
    SSL* ssl = tls_->ssl.get();
    char byte = 0;
    const int n = SSL_peek(ssl, &byte, 1);
    const int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, n);
    return error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
}

int SocketStream::CheckPeer() {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int rc = getpeername(handle_, reinterpret_cast<sockaddr*>(&peer), &len);
    if (rc == -1) {
        lastError_ = errno;
    }
    return rc;
}

int SocketStream::Close() {
    if (tls_) {
        SSL_shutdown(tls_->ssl.get());  // one try; the socket never waits for the peer
        ERR_clear_error();
        tls_.reset();
    }
    if (handle_ == -1) {
        return -1;
    }
    const int rc = close(handle_);
    handle_ = -1;
    return rc;
}
