#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pop3/byte_stream.h"
#include "pop3/capabilities.h"
#include "pop3/connection_security.h"
#include "pop3/failure.h"
#include "pop3/oauth_mechanism.h"
#include "pop3/sign_in_method.h"

// The header block of one message, as TOP n 0 delivered it.
struct MessageHeader {
    std::optional<std::string> headerText;
};

// Where a conversation stands (RFC 1939's states, plus the ends around them).
enum class SessionPhase {
    kClosed,         // no connection
    kConnected,      // connected, the greeting not yet read
    kAuthorization,  // greeted; the login may go out
    kTransaction,    // logged in
};

// One POP3 conversation (RFC 1939) for one poll of one account. A check only ever
// sends CAPA, STLS, USER, PASS, APOP, AUTH, STAT, LIST, UIDL, TOP and QUIT, so it never
// changes a mailbox; only the deletion session (scan/deletion_session) sends RETR and
// DELE. When the server lists PIPELINING (RFC 2449), the listing and header
// commands go out in a bounded window ahead of their replies.
class Pop3Session {
  public:
    Pop3Session();  // over a SocketStream of its own
    // Over `stream`, which must outlive the session: the destructor still QUITs.
    explicit Pop3Session(ByteStream& stream);
    ~Pop3Session();  // QUIT when still connected, then close
    Pop3Session(const Pop3Session&) = delete;
    Pop3Session& operator=(const Pop3Session&) = delete;

    // With SignInMethod::kOAuth2, `password` is the OAuth2 access token.
    int Login(const std::string& host, const std::string& user, const std::string& password,
              int port);
    int Stat(int& count, int& size);
    int GetMessageSize(int number, int& size);
    int Top(int number, MessageHeader& header);
    // The unique-id listing (UIDL): `ids[n - 1]` is message n's id, empty for a message
    // the listing leaves out. 0 when it failed; a server without UIDL answers "-ERR",
    // after which the session goes on as before.
    int UniqueIds(std::vector<std::string>& ids);
    // TOP n 0 for each of `numbers` in order; `each` gets every reply as it is read,
    // without header text when the server refused that message, and returns false to
    // end early. Returns 1 when every message was asked for and answered; 0 when the
    // fetch ended early (LastFailure() says why, kNone when `each` ended it).
    int TopEach(const std::vector<int>& numbers,
                const std::function<bool(int number, MessageHeader& header)>& each);
    // RETR n: the whole message as the server holds it, dot-stuffing undone and CRLF
    // line ends kept, so its length is comparable with LIST's size. Bounded as TOP is.
    // Only the deletion session retrieves.
    int Retrieve(int number, std::string& bytes);
    // DELE n: marks the message; the server removes it only when QUIT ends the session.
    int Delete(int number);
    // 1 only when the server confirmed the QUIT: for a session that sent DELE, that
    // confirmation is the one sign the marked messages were removed.
    int Quit();
    // Ends the connection without QUIT, so the server removes none of the messages
    // marked in this session.
    void Abandon();
    // Lines beginning with the termination octet lose that one dot, as RFC 1939 says.
    static std::string UndoDotStuffing(std::string_view text);
    // A pending connect, read or send ends within about 100 ms of `*stop` becoming true.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
    // How Login protects the connection; `trustedFingerprint` (64 hex digits or empty)
    // names the one certificate accepted instead of the system's verdict.
    void SetSecurity(ConnectionSecurity security, std::string trustedFingerprint = {});
    // How Login signs in; kApop sets m_bApop, which stays the switch for APOP.
    void SetSignInMethod(SignInMethod method);
    // Tests pin the OAuth2 mechanism; otherwise OAUTHBEARER when CAPA's SASL line lists
    // it, else XOAUTH2.
    void PinOAuthMechanism(OAuthMechanism mechanism) { pinnedMechanism_ = mechanism; }
    SessionPhase Phase() const { return phase_; }
    // Why the last operation that returned 0 failed.
    const Failure& LastFailure() const { return failure_; }
    // Whether the server's capabilities, asked after login's greeting (over TLS when
    // STLS is used), listed PIPELINING.
    bool ServerPipelines() const { return capabilities_.pipelining; }
    const Capabilities& ServerCapabilities() const { return capabilities_; }

    int m_bApop = 0;
    // The greeting's <...> stamp that APOP digests; nothing later replaces it.
    std::string m_strTimestamp;
    int m_nTimeout = 2000;
    std::string m_strLastResponse;

    // The APOP digest: MD5 of the bytes as 32 lower-case hexadecimal digits.
    static std::string Md5Hex(const char* bytes, std::size_t length);

  private:
    using Clock = std::chrono::steady_clock;

    // One reply's text. It may grow from `capacity` up to `limit` bytes; one byte is
    // always kept for the terminating NUL.
    struct Reply {
        Reply(std::size_t initial, std::size_t maximum);
        bool Grow();
        std::unique_ptr<char[]> data;
        std::size_t capacity;
        std::size_t limit;
        std::size_t length = 0;
    };

    int List();
    // Reads the listing once; a failed one is never sent again. 0 when there is none.
    int EnsureListed();
    // `judged`: a status line other than "+OK" fails the read; SASL's "+ " challenges
    // are read unjudged.
    int ReadResponse(Reply& reply, const char* terminator, bool judged = true);
    // Judges a multi-line reply's status line once it is whole: 1 to read on, 0 when the
    // reply ended there (refused, or out of step).
    int JudgeStatusLine(Reply& reply, std::size_t lineEnd);
    // Takes received bytes, from what is held or else from the stream; 0 on failure.
    int TakeInput(Reply& reply, Clock::time_point start, Clock::time_point& lastActivity);
    int ReadStatusLine();
    int ReadGreeting();
    void SetPhase(SessionPhase phase);
    int AskCapabilities();
    int ParseStatReply(int& count, int& size);
    int ParseListReply(int count);
    int ParseUidlReply(std::vector<std::string>& ids);
    // LIST and UIDL sent together; the listing is read first.
    int ListWithUniqueIds(std::vector<std::string>& ids);
    int ReadTopReply(MessageHeader& header, std::uint32_t size);
    int TopEachInTurn(const std::vector<int>& numbers,
                      const std::function<bool(int number, MessageHeader& header)>& each);
    int TopEachPipelined(const std::vector<int>& numbers,
                         const std::function<bool(int number, MessageHeader& header)>& each);
    int SendLine(const std::string& line);
    // Sends data commands when the session is in step: nothing may be held from a
    // reply that nobody asked for.
    int SendCommands(const std::string& lines);
    // Keeps the reply's first line for m_strLastResponse and returns 0. `whole` says
    // whether the reply was read to its end; when not, the session is out of step.
    // Records why: kNone takes the stream's own reason.
    int Fail(const Reply& reply, bool whole, FailureKind kind);
    int FailOutOfStep();
    int FailFromStream();
    int Connect(const std::string& host, int port);
    int SecureWithStls(const std::string& host);
    int Authenticate(const std::string& host, int port, const std::string& user,
                     const std::string& password);
    int SignInWithApop(const std::string& user, const std::string& password);
    int SignInWithOAuth(const std::string& host, int port, const std::string& user,
                        const std::string& token);
    // The server's line after the SASL response: "+OK", "-ERR", or an error challenge
    // that is acknowledged before the server's -ERR.
    int FinishOAuth(OAuthMechanism mechanism);
    // Sends a line the debug log must not show.
    int SendSecretLine(const std::string& line, std::string_view shownAs);
    // A refused login as the user reads it, from the server's -ERR line.
    void ClassifyRefusal();
    bool NothingMoreArrived();
    bool WithinReplyBound(Clock::time_point start, std::size_t received) const;
    bool StopRequested() const;
    static const char* SkipLine(const char* text, const char* end);

    std::unique_ptr<ByteStream> ownedStream_;
    ByteStream& stream_;
    int messageCount_ = 0;
    bool listDone_ = false;
    bool statDone_ = false;
    std::vector<std::uint32_t> sizes_;
    SessionPhase phase_ = SessionPhase::kClosed;
    SignInMethod signIn_ = SignInMethod::kPassword;
    std::optional<OAuthMechanism> pinnedMechanism_;
    const std::atomic<bool>* stop_ = nullptr;
    // A failed LIST is not sent again: every later TOP fails at once.
    bool listFailed_ = false;
    // Set when a reply was not read whole: what is left of it would be read as the
    // next reply, so no further data command is sent.
    bool outOfStep_ = false;
    Capabilities capabilities_;
    ConnectionSecurity security_ = ConnectionSecurity::kNone;
    std::string trustedFingerprint_;
    Failure failure_;
    // Bytes received and not yet read into a reply: with pipelining, one receive may
    // carry the end of one reply and the start of the next ones.
    std::unique_ptr<char[]> input_;
    std::size_t inputStart_ = 0;
    std::size_t inputEnd_ = 0;
};
