#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pop3/connection_security.h"
#include "pop3/failure.h"
#include "pop3/socket_stream.h"

// The header block of one message, as TOP n 0 delivered it.
struct MessageHeader {
    std::optional<std::string> headerText;
};

// One POP3 conversation (RFC 1939) for one poll of one account. It only ever sends
// USER, PASS, APOP, STAT, LIST, TOP and QUIT, so a mailbox is never changed.
class Pop3Session {
  public:
    Pop3Session() = default;
    ~Pop3Session();  // QUIT when still connected, then close
    Pop3Session(const Pop3Session&) = delete;
    Pop3Session& operator=(const Pop3Session&) = delete;

    int Login(const std::string& host, const std::string& user, const std::string& password,
              int port);
    int Stat(int& count, int& size);
    int GetMessageSize(int number, int& size);
    int Top(int number, MessageHeader& header);
    int Quit();
    // A pending connect, read or send ends within about 100 ms of `*stop` becoming true.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
    // How Login protects the connection; `trustedFingerprint` (64 hex digits or empty)
    // names the one certificate accepted instead of the system's verdict.
    void SetSecurity(ConnectionSecurity security, std::string trustedFingerprint = {});
    // Why the last operation that returned 0 failed.
    const Failure& LastFailure() const { return failure_; }

    int m_bApop = 0;
    std::string m_strTimestamp;
    std::string m_strName;
    int m_nTimeout = 2000;
    std::string m_strLastResponse;

    // The APOP digest: MD5 of the bytes as 32 lower-case hexadecimal digits.
    static std::string Md5Hex(const char* bytes, std::size_t length);

  private:
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
    int ReadResponse(Reply& reply, const char* terminator);
    int ReadStatusLine();
    int ParseStatReply(int& count, int& size);
    int ParseListReply(int count);
    int ReadTopReply(MessageHeader& header, std::uint32_t size);
    int SendLine(const std::string& line);
    // Records why a read failed. kNone takes the socket's own reason.
    int Fail(const Reply& reply, FailureKind kind);
    int FailFromSocket();
    int Connect(const std::string& host, int port);
    int SecureWithStls(const std::string& host);
    int Authenticate(const std::string& user, const std::string& password);
    bool NothingMoreArrived();
    bool StopRequested() const;
    static const char* SkipLine(const char* text, const char* end);

    SocketStream m_socket;
    int m_nMessages = 0;
    int m_bListDone = 0;
    int m_bStatDone = 0;
    std::vector<std::uint32_t> m_sizes;
    int m_bConnected = 0;
    const std::atomic<bool>* stop_ = nullptr;
    ConnectionSecurity security_ = ConnectionSecurity::kNone;
    std::string trustedFingerprint_;
    Failure failure_;
    std::size_t extraBytes_ = 0;  // received after the last reply's terminator
};
