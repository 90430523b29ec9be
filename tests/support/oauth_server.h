#pragma once

#include <sys/types.h>

#include <string>

namespace qvtest {

// The test authorization server (tests/support/oauth_server.py) on a loopback port,
// run by python3 as a child process:
//
//   qvtest::OAuthServer oauth;
//   ASSERT_TRUE(oauth.Start()) << oauth.Error();
//   oauth.Control(R"({"user": "alice", "access_lifetime": 1})");
//   const qvtest::OAuthServer::Tokens tokens = oauth.Issue("alice");
//
// The destructor stops it. A missing python3 makes Start() fail: tests must assert on
// it, never skip.
class OAuthServer {
  public:
    struct Tokens {
        std::string access;
        std::string refresh;
    };

    OAuthServer() = default;
    ~OAuthServer();
    OAuthServer(const OAuthServer&) = delete;
    OAuthServer& operator=(const OAuthServer&) = delete;

    // Starts the server and waits (at most 10 s) for the port it prints.
    bool Start();
    void Stop();

    int Port() const { return port_; }
    const std::string& Error() const { return error_; }
    std::string IntrospectionUrl() const;

    // POST /control with a JSON body; true on HTTP 200.
    bool Control(const std::string& json);
    // GET /control/issue: tokens for `user`, minted at once. Empty on failure.
    Tokens Issue(const std::string& user);
    // The refresh grant: the new pair; the old refresh token stops working.
    Tokens Refresh(const std::string& refreshToken);

    // One HTTP/1.0 request to the server; the status code, with the body in `body`.
    int Request(const std::string& method, const std::string& target, const std::string& content,
                const std::string& contentType, std::string& body) const;

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

// The value of a top-level string member of a flat JSON object, without unescaping.
std::string JsonMember(const std::string& json, const std::string& name);

}  // namespace qvtest
