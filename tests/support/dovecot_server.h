#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace qvtest {

// A private Dovecot POP3 server on a loopback port, for tests and benchmarks.
//
//   qvtest::DovecotServer server;
//   server.AddUser("alice", "secret", {"Subject: hi\r\n\r\nbody\r\n"});
//   ASSERT_TRUE(server.Start()) << server.Error();
//   ... connect to 127.0.0.1:server.Port() ...
//   EXPECT_EQ(before, server.Snapshot("alice"));
//
// Everything lives in a temporary directory of its own: the configuration (dovecot -c),
// the base and state directories, the log, a passwd-file with plain passwords (so that
// APOP works) and one maildir per user. The server runs in the foreground (-F) as a
// child process and is stopped by Stop() or the destructor. Run as root, mail is
// accessed as "nobody" and the login processes run as "nobody" too (Dovecot refuses
// root there); run as an ordinary user, every process runs as that user.
//
// A missing Dovecot binary makes Start() fail: tests must assert on it, never skip.
class DovecotServer {
  public:
    static constexpr const char* kBinary = "/usr/sbin/dovecot";

    DovecotServer();
    ~DovecotServer();  // Stop(), then removes the temporary directory
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    // Adds a user (or replaces its password) and writes `messages` into its maildir as
    // unflagged messages in "cur", in the given order: message n of the list is POP3
    // message n. Each message is written byte for byte (use CRLF line ends). May be
    // called before or after Start().
    void AddUser(const std::string& name, const std::string& password,
                 const std::vector<std::string>& messages);

    // From the next Start() on, TLS too: STLS is required on Port() (nothing but the
    // greeting, CAPA and STLS before it) and TLS starts with the first byte on TlsPort().
    // `byAddress` maps loopback addresses ("127.0.0.1", "127.0.0.2", …) to a certificate
    // and its key, as PEM files: a connection to an address gets its certificate. It
    // must hold "127.0.0.1".
    struct Certificate {
        std::string certFile;
        std::string keyFile;
    };
    void EnableTls(std::map<std::string, Certificate> byAddress);

    // From the next Start() on, XOAUTH2 and OAUTHBEARER logins too, next to the
    // passwords: a token is good when `introspectionUrl` (RFC 7662, by POST) calls it
    // active for the user who logs in.
    void EnableOAuth(const std::string& introspectionUrl);

    // From the next Start() on, one session at a time per mailbox: a second login is
    // refused with "-ERR [IN-USE]" while the first lasts.
    void LockSessions() { lockSessions_ = true; }

    // Starts the server and waits (at most 10 s) until it greets on Port(): `port`, or
    // a free one when 0. Returns false, with the reason in Error(), when it cannot be
    // started.
    bool Start(int port = 0);
    void Stop();

    int Port() const { return port_; }
    int TlsPort() const { return tlsPort_; }
    const std::string& Error() const { return error_; }
    std::string Log() const;  // Dovecot's own log so far
    const std::string& Directory() const { return dir_; }

    // The message files of a user's maildir: path below the maildir ("cur/…:2,") →
    // contents. File names carry the maildir flags, so a message marked seen or
    // deleted, or one removed, changes the snapshot. Dovecot's own index, log and
    // uidlist files are left out: they are caches it writes on every first access.
    using Snapshot = std::map<std::string, std::string>;
    Snapshot MailboxSnapshot(const std::string& user) const;

  private:
    std::string MaildirOf(const std::string& user) const;
    void WritePasswd() const;
    bool WriteConfig(int port);
    std::string TlsConfig() const;
    bool lockSessions_ = false;
    std::string OAuthConfig() const;
    std::string ListenAddresses() const;
    bool WaitForGreeting();
    std::string Greeting() const;

    std::string dir_;
    std::map<std::string, std::string> passwords_;
    std::map<std::string, int> messageCount_;
    pid_t pid_ = -1;
    int port_ = 0;
    int tlsPort_ = 0;
    std::map<std::string, Certificate> certificates_;
    std::string introspectionUrl_;
    std::string error_;
};

}  // namespace qvtest
