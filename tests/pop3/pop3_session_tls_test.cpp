// The session with TLS against a private Dovecot that serves a different certificate on
// each loopback address: STLS is required on its plain port, TLS starts at once on the
// other. The test CA is trusted through SSL_CERT_FILE, as any OpenSSL program's store.
#include <openssl/ssl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "pop3/pop3_session.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/loopback.h"
#include "tests/support/test_certificates.h"

namespace {

using Issuer = qvtest::TestCertificates::Issuer;

const std::string kMessage = "From: a@example.org\r\nSubject: over TLS\r\n\r\nbody\r\n";

// One certificate per address: the good one and each way of being untrusted.
struct Served {
    const char* address;
    const char* name;
    const char* altNames;
    Issuer issuer;
    int fromDays;
    int untilDays;
    const char* reason;           // why the system's store refuses it; empty when it does not
    const char* alsoReason = "";  // a second reason the certificate carries for the user
};
const Served kServed[] = {
    {"127.0.0.1", "good", "DNS:localhost,IP:127.0.0.1", Issuer::kTestCa, -1, 30, ""},
    {"127.0.0.2", "other-name", "DNS:other.example,IP:127.0.0.9", Issuer::kTestCa, -1, 30,
     "it is for another host name"},
    {"127.0.0.3", "expired", "IP:127.0.0.3", Issuer::kTestCa, -30, -1, "it has expired"},
    {"127.0.0.4", "self-signed", "IP:127.0.0.4", Issuer::kSelf, -1, 30, "it is self-signed"},
    {"127.0.0.5", "unknown-issuer", "IP:127.0.0.5", Issuer::kOtherCa, -1, 30,
     "its issuer is unknown"},
    {"127.0.0.6", "self-signed-elsewhere", "IP:127.0.0.9", Issuer::kSelf, -1, 30,
     "it is self-signed", "it is for another host name"},
};

class TlsSession : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<qvtest::DovecotServer>();
        certificates_ = std::make_unique<qvtest::TestCertificates>(server_->Directory());
        std::map<std::string, qvtest::DovecotServer::Certificate> byAddress;
        made_ = true;
        for (const Served& served : kServed) {
            made_ = made_ && certificates_->Make(served.name, served.altNames, served.issuer,
                                                 served.fromDays, served.untilDays);
            byAddress[served.address] = {certificates_->CertFile(served.name),
                                         certificates_->KeyFile(served.name)};
        }
        setenv("SSL_CERT_FILE", certificates_->CaFile().c_str(), 1);
        server_->AddUser("alice", "s3cret", {kMessage, kMessage});
        server_->EnableTls(byAddress);
        started_ = server_->Start();
    }
    static void TearDownTestSuite() {
        server_.reset();
        unsetenv("SSL_CERT_FILE");
    }
    void SetUp() override {
        ASSERT_TRUE(made_) << "OpenSSL could not make the test certificates";
        ASSERT_TRUE(started_) << server_->Error();
        before_ = server_->MailboxSnapshot("alice");
    }
    void TearDown() override {
        if (started_) {
            EXPECT_EQ(before_, server_->MailboxSnapshot("alice"));
        }
    }

    // One login and STAT; the session's reason when it fails.
    static Failure Check(const std::string& host, ConnectionSecurity security, int apop = 0,
                         const std::string& trusted = {}) {
        Pop3Session session;
        session.m_nTimeout = 5000;
        session.m_bApop = apop;
        session.SetSecurity(security, trusted);
        const int port =
            security == ConnectionSecurity::kTls ? server_->TlsPort() : server_->Port();
        if (session.Login(host, "alice", "s3cret", port) != 1) {
            return session.LastFailure();
        }
        int count = 0;
        int size = 0;
        EXPECT_EQ(1, session.Stat(count, size));
        EXPECT_EQ(2, count);
        MessageHeader header;
        EXPECT_EQ(1, session.Top(2, header));
        EXPECT_EQ("From: a@example.org\r\nSubject: over TLS\r\n", header.headerText.value_or(""));
        EXPECT_EQ(1, session.Quit());
        return session.LastFailure();
    }

    static std::unique_ptr<qvtest::DovecotServer> server_;
    static std::unique_ptr<qvtest::TestCertificates> certificates_;
    static bool made_;
    static bool started_;
    qvtest::DovecotServer::Snapshot before_;
};

std::unique_ptr<qvtest::DovecotServer> TlsSession::server_;
std::unique_ptr<qvtest::TestCertificates> TlsSession::certificates_;
bool TlsSession::made_ = false;
bool TlsSession::started_ = false;

TEST_F(TlsSession, BothModesLogInWithUserPassAndApopByNameAndByAddress) {
    for (const ConnectionSecurity security :
         {ConnectionSecurity::kTls, ConnectionSecurity::kStartTls}) {
        for (const char* host : {"localhost", "127.0.0.1"}) {
            for (const int apop : {0, 1}) {
                const Failure failure = Check(host, security, apop);
                EXPECT_FALSE(failure.failed()) << host << " " << static_cast<int>(security)
                                               << " apop " << apop << ": " << FailureText(failure);
            }
        }
    }
}

TEST_F(TlsSession, UntrustedCertificatesFailWithTheirReasonUntilTheirFingerprintIsTrusted) {
    for (const Served& served : kServed) {
        if (*served.reason == '\0') {
            continue;
        }
        for (const ConnectionSecurity security :
             {ConnectionSecurity::kTls, ConnectionSecurity::kStartTls}) {
            const Failure refused = Check(served.address, security);
            EXPECT_EQ(FailureKind::kCertificate, refused.kind) << served.name;
            EXPECT_EQ(served.reason, refused.detail) << served.name;
            ASSERT_TRUE(refused.certificate.has_value()) << served.name;
            std::vector<std::string> reasons{served.reason};
            if (*served.alsoReason != '\0') {
                reasons.emplace_back(served.alsoReason);
            }
            EXPECT_EQ(reasons, refused.certificate->reasons) << served.name;
            const std::string fingerprint = certificates_->Fingerprint(served.name);
            EXPECT_EQ(fingerprint, refused.certificate->fingerprint);
            EXPECT_NE(std::string::npos, refused.certificate->subject.find(served.name));
            EXPECT_FALSE(refused.certificate->notAfter.empty());

            const Failure trusted = Check(served.address, security, 0, fingerprint);
            EXPECT_FALSE(trusted.failed()) << served.name << ": " << FailureText(trusted);
        }
    }
}

TEST_F(TlsSession, OnlyTheTrustedCertificateIsAccepted) {
    const std::string selfSigned = certificates_->Fingerprint("self-signed");
    // Another certificate, even one the system trusts, is a change.
    for (const char* address : {"127.0.0.5", "127.0.0.1"}) {
        const Failure changed = Check(address, ConnectionSecurity::kTls, 0, selfSigned);
        EXPECT_EQ(FailureKind::kCertificate, changed.kind) << address;
        EXPECT_EQ("it changed since it was trusted", changed.detail) << address;
    }
}

// A TLS peer on loopback for what Dovecot never does: it logs anyone in, answers STAT
// and the first line of LIST, then sends close_notify and leaves the TCP connection
// open until the client closes it.
class ClosingTlsPeer {
  public:
    ClosingTlsPeer(const std::string& cert, const std::string& key)
        : thread_([this, cert, key] { Serve(cert, key); }) {}
    ~ClosingTlsPeer() { thread_.join(); }
    int Port() const { return listener_.Port(); }

  private:
    static bool Readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) == 1;
    }
    void Serve(const std::string& cert, const std::string& key) {
        if (!Readable(listener_.Fd(), 10000)) {
            return;
        }
        const int fd = accept(listener_.Fd(), nullptr, nullptr);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(context, cert.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM);
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            Converse(ssl);
        }
        // The client's close (or ten seconds) ends the wait.
        Readable(fd, 10000);
        SSL_free(ssl);
        SSL_CTX_free(context);
        close(fd);
    }
    static void Converse(SSL* ssl) {
        const auto say = [ssl](const std::string& text) {
            SSL_write(ssl, text.data(), static_cast<int>(text.size()));
        };
        say("+OK ready\r\n");
        std::string line;
        char c = 0;
        while (SSL_read(ssl, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line.rfind("STAT", 0) == 0) {
                say("+OK 1 100\r\n");
            } else if (line.rfind("LIST", 0) == 0) {
                say("+OK\r\n1 100\r\n");
                SSL_shutdown(ssl);
                return;
            } else {
                say(line.rfind("CAPA", 0) == 0 ? "-ERR\r\n" : "+OK\r\n");
            }
            line.clear();
        }
    }

    qvtest::LoopbackListener listener_;
    std::thread thread_;
};

TEST_F(TlsSession, CloseNotifyMidReplyEndsTheReadAtOnceAndNamesNeedSubjectAltNames) {
    {
        ClosingTlsPeer peer(certificates_->CertFile("good"), certificates_->KeyFile("good"));
        Pop3Session session;
        session.m_nTimeout = 5000;
        session.SetSecurity(ConnectionSecurity::kTls);
        ASSERT_EQ(1, session.Login("127.0.0.1", "alice", "s3cret", peer.Port()));
        int count = 0;
        int size = 0;
        ASSERT_EQ(1, session.Stat(count, size));
        const auto start = std::chrono::steady_clock::now();
        int listed = 0;
        EXPECT_EQ(0, session.GetMessageSize(1, listed));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(FailureKind::kConnection, session.LastFailure().kind);
        EXPECT_EQ("the server closed the connection", session.LastFailure().detail);
    }
    // The common name alone no longer vouches for a host name.
    ASSERT_TRUE(certificates_->Make("localhost", "", Issuer::kTestCa));
    ClosingTlsPeer peer(certificates_->CertFile("localhost"), certificates_->KeyFile("localhost"));
    Pop3Session session;
    session.m_nTimeout = 5000;
    session.SetSecurity(ConnectionSecurity::kTls);
    EXPECT_EQ(0, session.Login("localhost", "alice", "s3cret", peer.Port()));
    EXPECT_EQ(FailureKind::kCertificate, session.LastFailure().kind);
    EXPECT_EQ("it is for another host name", session.LastFailure().detail);
}

}  // namespace
