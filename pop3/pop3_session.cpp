#include "pop3/pop3_session.h"

#include "app/debug_log.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kStatusLineBytes = 8192;
constexpr std::size_t kStatReplyBytes = 100;
constexpr std::size_t kListBytesPerMessage = 14;
constexpr std::size_t kListExtraBytes = 100;
constexpr std::size_t kTopExtraBytes = 1024;
// Buffers sized from the server's own figures start at most this large and grow on
// demand, so a listed size of 4 GB or a count of 2^31 allocates nothing absurd.
constexpr std::size_t kFirstAllocationCap = std::size_t{1} << 20;
// No reply may grow past this; a longer one fails.
constexpr std::size_t kReplyLimit = std::size_t{64} << 20;
// Longest wait for data before the loop looks at the clock and the stop flag again.
constexpr int kWaitSliceMs = 100;
// A server's text shown to the user is cut to one line of at most this many bytes.
constexpr std::size_t kDetailBytes = 200;
// Besides the silence limit, which every byte restarts, a whole reply must arrive
// within this many silence limits plus one second for each kReplyFloorBytesPerSecond
// received. A link at least that fast always passes; a server dribbling a byte at a
// time is cut off after the fixed part (three minutes at the 45 s limit).
constexpr long long kReplyBoundFactor = 4;
constexpr long long kReplyFloorBytesPerSecond = 4096;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Leading white space, an optional sign, then digits up to the first non-digit, like
// atoi; out-of-range values saturate instead of being undefined.
long long ParseNumber(const char* p, const char* end, long long low, long long high) {
    while (p < end && IsSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        value = std::min(value * 10 + (*p - '0'), high + 1);
    }
    return std::clamp(negative ? -value : value, low, high);
}

bool HasLineBreakOrNul(const std::string& text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

bool IsPositive(const char* text, std::size_t length) {
    return length >= 3 && strncasecmp(text, "+OK", 3) == 0;
}

// After a "-ERR" in the first piece: the reply was read whole when the bytes so far
// end with its terminator or are exactly one status line.
bool EndsWhole(std::string_view received, std::string_view terminator) {
    return received.ends_with(terminator) ||
           (received.ends_with("\r\n") && received.find("\r\n") == received.size() - 2);
}

}  // namespace

Pop3Session::Reply::Reply(std::size_t initial, std::size_t maximum)
    : data(new char[initial]), capacity(initial), limit(std::max(initial, maximum)) {
    data[0] = '\0';
}

bool Pop3Session::Reply::Grow() {
    if (capacity >= limit) {
        return false;
    }
    const std::size_t bigger = std::min(limit, capacity * 2);
    std::unique_ptr<char[]> moved(new char[bigger]);
    std::memcpy(moved.get(), data.get(), length + 1);
    data = std::move(moved);
    capacity = bigger;
    return true;
}

Pop3Session::~Pop3Session() {
    if (m_bConnected != 0) {
        Quit();
    }
    m_socket.Close();
}

bool Pop3Session::StopRequested() const {
    return stop_ != nullptr && stop_->load(std::memory_order_relaxed);
}

int Pop3Session::Fail(const Reply& reply, bool whole, FailureKind kind) {
    // A failed reply of many megabytes must not live on in the last-response text.
    const char* text = reply.data.get();
    const auto firstLine = static_cast<std::size_t>(SkipLine(text, text + reply.length) - text);
    m_strLastResponse.assign(text, std::min(firstLine, kStatusLineBytes));
    if (!whole) {
        outOfStep_ = true;
    }
    DebugLog::Write("pop3", whole ? "< refused" : "< no whole reply; the session is out of step");
    if (kind == FailureKind::kNone) {
        return FailFromSocket();
    }
    failure_ = Failure{kind, {}, {}};
    if (kind == FailureKind::kServer) {
        const std::string_view line(m_strLastResponse);
        failure_.detail =
            std::string(line.substr(0, std::min(line.find_first_of("\r\n"), kDetailBytes)));
    }
    return 0;
}

int Pop3Session::FailFromSocket() {
    failure_ = m_socket.LastFailure();
    if (!failure_.failed()) {
        failure_.kind = FailureKind::kConnection;
    }
    return 0;
}

bool Pop3Session::WithinReplyBound(Clock::time_point start, std::size_t received) const {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const long long allowed = kReplyBoundFactor * std::max(0, m_nTimeout) +
                              static_cast<long long>(received) * 1000 / kReplyFloorBytesPerSecond;
    return elapsed <= allowed;
}

int Pop3Session::ReadResponse(Reply& reply, const char* terminator) {
    const std::size_t terminatorLength = std::strlen(terminator);
    const auto start = Clock::now();
    auto lastActivity = start;
    bool firstData = true;
    std::size_t searchFrom = 0;
    reply.length = 0;
    reply.data[0] = '\0';
    for (;;) {
        // The silence limit restarts with every byte received.
        const auto silent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity)
                .count();
        if (StopRequested()) {
            return Fail(reply, false, FailureKind::kStopped);
        }
        if (silent > m_nTimeout || !WithinReplyBound(start, reply.length)) {
            return Fail(reply, false, FailureKind::kTimedOut);
        }
        int readable = 0;
        if (m_socket.PollReadable(readable) == 0) {
            return Fail(reply, false, FailureKind::kNone);
        }
        if (readable == 0) {
            // Waiting on the socket rather than sleeping reads data the moment it comes.
            const long long left = static_cast<long long>(m_nTimeout) - silent + 1;
            m_socket.WaitReadable(readable,
                                  static_cast<int>(std::clamp<long long>(left, 1, kWaitSliceMs)));
            continue;
        }
        if (reply.length + 1 >= reply.capacity && !reply.Grow()) {
            Fail(reply, false, FailureKind::kServer);
            failure_.detail = "a reply was too long";
            return 0;
        }
        const long received =
            m_socket.Receive(reply.data.get() + reply.length, reply.capacity - 1 - reply.length);
        // 0 is a closed peer: nothing more can come, so waiting out the limit is useless.
        if (received <= 0) {
            return Fail(reply, false, FailureKind::kNone);
        }
        lastActivity = Clock::now();
        reply.length += static_cast<std::size_t>(received);
        reply.data[reply.length] = '\0';
        // A one-line "-ERR" can end a multi-line reply that will never see its terminator.
        if (firstData) {
            firstData = false;
            if (memmem(reply.data.get(), reply.length, "-ERR", 4) != nullptr) {
                return Fail(reply,
                            EndsWhole(std::string_view(reply.data.get(), reply.length), terminator),
                            FailureKind::kServer);
            }
        }
        const void* found = memmem(reply.data.get() + searchFrom, reply.length - searchFrom,
                                   terminator, terminatorLength);
        if (found != nullptr) {
            const std::size_t received = reply.length;
            reply.length =
                static_cast<std::size_t>(static_cast<const char*>(found) - reply.data.get());
            reply.data[reply.length] = '\0';
            extraBytes_ = received - reply.length - terminatorLength;
            if (!IsPositive(reply.data.get(), reply.length)) {
                return Fail(reply, true, FailureKind::kServer);
            }
            return 1;
        }
        // Only the last bytes can begin a terminator that the next piece completes.
        searchFrom = reply.length >= terminatorLength ? reply.length - terminatorLength + 1 : 0;
    }
}

int Pop3Session::ReadStatusLine() {
    Reply reply(kStatusLineBytes, kStatusLineBytes);
    const int result = ReadResponse(reply, "\r\n");
    if (m_bApop == 1) {
        const std::string_view text(reply.data.get(), reply.length);
        const std::size_t open = text.find('<');
        const std::size_t close = text.find('>');
        if (open != std::string_view::npos && open > 0 && close != std::string_view::npos &&
            close > open) {
            m_strTimestamp.assign(text.substr(open, close - open + 1));
        }
    }
    return result;
}

std::string Pop3Session::Md5Hex(const char* bytes, std::size_t length) {
    CryptoPP::Weak::MD5 md5;
    CryptoPP::byte digest[CryptoPP::Weak::MD5::DIGESTSIZE];
    md5.CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(bytes), length);
    std::string hex;
    CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(hex), false);
    encoder.Put(digest, sizeof digest);
    encoder.MessageEnd();
    return hex;
}

int Pop3Session::SendLine(const std::string& line) {
    DebugLog::Command(line);
    return m_socket.Send(line.data(), line.size()) != 0 ? 1 : FailFromSocket();
}

void Pop3Session::SetSecurity(ConnectionSecurity security, std::string trustedFingerprint) {
    security_ = security;
    trustedFingerprint_ = std::move(trustedFingerprint);
}

int Pop3Session::Login(const std::string& host, const std::string& user,
                       const std::string& password, int port) {
    failure_ = Failure{};
    // A stored field with a line break could append commands of its own (DELE …).
    if (HasLineBreakOrNul(user) || HasLineBreakOrNul(password)) {
        failure_.kind = FailureKind::kBadCredential;
        return 0;
    }
    if (Connect(host, port) == 0) {
        DebugLog::Write("pop3", "could not connect to " + host + ":" + std::to_string(port));
        return 0;
    }
    m_bConnected = 1;
    if (ReadStatusLine() == 0) {
        Quit();
        return 0;
    }
    if (security_ == ConnectionSecurity::kStartTls && SecureWithStls(host) == 0) {
        return 0;
    }
    if (Authenticate(user, password) == 0) {
        Quit();
        return 0;
    }
    return 1;
}

int Pop3Session::Connect(const std::string& host, int port) {
    if (m_socket.Create() == 0 ||
        m_socket.Connect(host.c_str(), port, std::max(0, m_nTimeout), stop_) == 0) {
        return FailFromSocket();
    }
    m_socket.SetWaitLimits(std::max(0, m_nTimeout), stop_);
    if (security_ == ConnectionSecurity::kTls &&
        m_socket.StartTls(host, trustedFingerprint_) == 0) {
        FailFromSocket();
        m_socket.Close();
        return 0;
    }
    return 1;
}

// After the greeting in clear: STLS, then the handshake. Nothing else is ever sent in
// clear, and a failure closes the connection without even a QUIT.
int Pop3Session::SecureWithStls(const std::string& host) {
    int result = 0;
    if (!NothingMoreArrived()) {
        failure_ = Failure{FailureKind::kHandshake, "the server sent more than its greeting", {}};
    } else if (SendLine("STLS\r\n") == 0) {
        // the socket's reason is recorded
    } else if (ReadStatusLine() == 0) {
        if (failure_.kind == FailureKind::kServer) {
            failure_.kind = FailureKind::kNoStartTls;
        }
    } else if (!NothingMoreArrived()) {
        // Bytes after "+OK" were not sent through TLS: they are never read as replies.
        failure_ = Failure{FailureKind::kHandshake, "the server sent data in clear after STLS", {}};
    } else if (m_socket.StartTls(host, trustedFingerprint_) == 0) {
        FailFromSocket();
    } else {
        result = 1;
    }
    if (result == 0) {
        m_bConnected = 0;
        m_socket.Close();
    }
    return result;
}

bool Pop3Session::NothingMoreArrived() {
    int readable = 0;
    return extraBytes_ == 0 && m_socket.PollReadable(readable) == 1 && readable == 0;
}

int Pop3Session::Authenticate(const std::string& user, const std::string& password) {
    int result = 0;
    if (m_bApop == 1) {
        if (!password.empty()) {
            m_strTimestamp += password;
        }
        const std::string digest = Md5Hex(m_strTimestamp.data(), m_strTimestamp.size());
        if (SendLine("APOP " + user + " " + digest + "\r\n") != 0) {
            m_bApop = 0;
            result = ReadStatusLine();
        }
    } else {
        result = SendLine("USER " + user + "\r\n") != 0 && ReadStatusLine() != 0 &&
                 SendLine("PASS " + password + "\r\n") != 0 && ReadStatusLine() != 0;
    }
    if (result == 0 && failure_.kind == FailureKind::kServer) {
        failure_.kind = FailureKind::kLoginRefused;
        // The user reads the server's own words: what follows "-ERR".
        if (failure_.detail.rfind("-ERR", 0) == 0) {
            failure_.detail.erase(0, failure_.detail.find_first_not_of(' ', 4));
        }
    }
    return result;
}

int Pop3Session::Stat(int& count, int& size) {
    if (outOfStep_ || SendLine("STAT\r\n") == 0) {
        return 0;
    }
    m_bStatDone = 1;
    return ParseStatReply(count, size);
}

int Pop3Session::ParseStatReply(int& count, int& size) {
    Reply reply(kStatReplyBytes, kStatReplyBytes);
    if (ReadResponse(reply, "\r\n") == 0) {
        return 0;
    }
    const char* text = reply.data.get();
    const char* end = text + reply.length;
    // Unlike every other reply, STAT accepts only the upper-case status.
    if (reply.length < 3 || std::strncmp(text, "+OK", 3) != 0) {
        return 0;
    }
    bool haveCount = false;
    for (const char* p = text; p < end; ++p) {
        if (!IsBlank(*p)) {
            continue;
        }
        // Every blank starts a number, so two blanks in a row read the count twice.
        const int value = static_cast<int>(ParseNumber(p, end, INT_MIN, INT_MAX));
        if (!haveCount) {
            count = value;
            m_nMessages = value;
            haveCount = true;
        } else {
            size = value;
            return 1;
        }
    }
    return 0;
}

int Pop3Session::List() {
    int count = m_nMessages;
    if (m_bStatDone == 0) {
        int discarded = 0;
        if (Stat(count, discarded) == 0) {
            return 0;
        }
        m_bStatDone = 1;
    }
    if (SendLine("LIST\r\n") == 0) {
        return 0;
    }
    m_bListDone = ParseListReply(count);
    return m_bListDone;
}

int Pop3Session::ParseListReply(int count) {
    const std::size_t messages = count > 0 ? static_cast<std::size_t>(count) : 0;
    const std::size_t wanted =
        std::min(messages, kFirstAllocationCap) * kListBytesPerMessage + kListExtraBytes;
    Reply reply(std::min(wanted, kFirstAllocationCap), kReplyLimit);
    if (ReadResponse(reply, "\r\n.\r\n") == 0) {
        return 0;
    }
    m_sizes.clear();
    m_sizes.reserve(std::min(messages, kFirstAllocationCap));
    const char* end = reply.data.get() + reply.length;
    // The message numbers are not read: the n-th size listed is taken for message n.
    for (const char* p = SkipLine(reply.data.get(), reply.data.get() + reply.length);
         p < end && *p != '.'; ++p) {
        if (IsBlank(*p)) {
            m_sizes.push_back(static_cast<std::uint32_t>(ParseNumber(p, end, 0, UINT32_MAX)));
        }
    }
    return 1;
}

int Pop3Session::GetMessageSize(int number, int& size) {
    if (outOfStep_ || listFailed_) {
        return 0;
    }
    if (m_bListDone == 0 && List() == 0) {
        listFailed_ = true;
        return 0;
    }
    if (number < 1 || static_cast<std::size_t>(number) > m_sizes.size()) {
        failure_ = Failure{};  // not listed: no message, and nothing went wrong
        return 0;
    }
    size = static_cast<int>(std::min<std::uint32_t>(m_sizes[number - 1], INT_MAX));
    return 1;
}

int Pop3Session::Top(int number, MessageHeader& header) {
    int size = 0;
    if (GetMessageSize(number, size) == 0) {
        return 0;
    }
    if (SendLine("TOP " + std::to_string(number) + " 0\r\n") == 0) {
        return 0;
    }
    return ReadTopReply(header, static_cast<std::uint32_t>(size));
}

int Pop3Session::UniqueIds(std::vector<std::string>& ids) {
    ids.clear();
    if (outOfStep_) {
        return 0;
    }
    int size = 0;
    if (m_bListDone == 0 && GetMessageSize(1, size) == 0 && failure_.failed()) {
        return 0;
    }
    if (SendLine("UIDL\r\n") == 0) {
        return 0;
    }
    return ParseUidlReply(ids);
}

int Pop3Session::ParseUidlReply(std::vector<std::string>& ids) {
    const std::size_t messages = m_sizes.size();
    Reply reply(std::min(messages * 80 + kListExtraBytes, kFirstAllocationCap), kReplyLimit);
    if (ReadResponse(reply, "\r\n.\r\n") == 0) {
        return 0;
    }
    ids.assign(messages, std::string());
    const char* end = reply.data.get() + reply.length;
    for (const char* line = SkipLine(reply.data.get(), end); line < end;) {
        const char* next = SkipLine(line, end);
        const std::string_view text(line, static_cast<std::size_t>(next - line));
        const std::size_t blank = text.find(' ');
        const long long number = ParseNumber(line, next, 0, INT_MAX);
        if (blank != std::string_view::npos && number >= 1 &&
            static_cast<std::size_t>(number) <= messages) {
            std::string_view id = text.substr(blank + 1);
            while (!id.empty() && IsSpace(id.back())) {
                id.remove_suffix(1);
            }
            ids[static_cast<std::size_t>(number) - 1] = std::string(id);
        }
        line = next;
    }
    return 1;
}

int Pop3Session::TopEach(const std::vector<int>& numbers,
                         const std::function<bool(int number, MessageHeader& header)>& each) {
    for (const int number : numbers) {
        MessageHeader header;
        if (Top(number, header) == 0 && (outOfStep_ || listFailed_ || StopRequested())) {
            return 0;
        }
        if (!each(number, header)) {
            failure_ = Failure{};
            return 0;
        }
    }
    return 1;
}

int Pop3Session::ReadTopReply(MessageHeader& header, std::uint32_t size) {
    const std::size_t wanted = std::size_t{size} + kTopExtraBytes;
    Reply reply(std::min(wanted, kFirstAllocationCap), kReplyLimit);
    if (ReadResponse(reply, "\r\n.\r\n") == 0) {
        return 0;
    }
    // Dot-stuffed lines stay as the server sent them.
    const char* start = SkipLine(reply.data.get(), reply.data.get() + reply.length);
    const char* end = reply.data.get() + reply.length;
    header.headerText.emplace(start, end);
    return 1;
}

const char* Pop3Session::SkipLine(const char* text, const char* end) {
    const void* lf = std::memchr(text, '\n', static_cast<std::size_t>(end - text));
    return lf != nullptr ? static_cast<const char*>(lf) + 1 : end;
}

int Pop3Session::Quit() {
    int result = 0;
    // The reason of the failure that led here must survive the QUIT's own reply.
    const Failure reason = failure_;
    if (m_bConnected == 1) {
        SendLine("QUIT\r\n");
        // Out of step, the answer could not be told from the rest of the last reply.
        if (!outOfStep_ && m_socket.CheckPeer() != -1) {
            result = ReadStatusLine();
        }
        m_bConnected = 0;
        m_bListDone = 0;
        m_bStatDone = 0;
        listFailed_ = false;
        outOfStep_ = false;
    }
    m_socket.Close();
    failure_ = reason;
    return result;
}
