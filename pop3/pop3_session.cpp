#include "pop3/pop3_session.h"

#include "app/debug_log.h"
#include "pop3/socket_stream.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>

namespace {

constexpr std::size_t kStatusLineBytes = 8192;
constexpr std::size_t kStatReplyBytes = 100;
constexpr std::size_t kListBytesPerMessage = 14;
constexpr std::size_t kListExtraBytes = 100;
constexpr std::size_t kUidlBytesPerMessage = 80;
constexpr std::size_t kTopExtraBytes = 1024;
// Buffers sized from the server's own figures start at most this large and grow on
// demand, so a listed size of 4 GB or a count of 2^31 allocates nothing absurd.
constexpr std::size_t kFirstAllocationCap = std::size_t{1} << 20;
// No reply may grow past this; a longer one fails.
constexpr std::size_t kReplyLimit = std::size_t{64} << 20;
// Bytes taken from the stream at a time; pipelined replies share one such piece.
constexpr std::size_t kInputBytes = std::size_t{64} << 10;
constexpr std::size_t kCapabilityBytes = std::size_t{64} << 10;
// Pipelined TOP commands sent ahead of their replies: few enough bytes that a send
// never waits on a server that stopped reading, many enough to hide the round trips.
constexpr std::size_t kWindowCommands = 64;
constexpr std::size_t kWindowBytes = 1024;
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

bool HasRepeatedId(const std::vector<std::string>& ids) {
    std::unordered_set<std::string_view> seen;
    seen.reserve(ids.size());
    for (const std::string& id : ids) {
        if (!id.empty() && !seen.insert(id).second) {
            return true;
        }
    }
    return false;
}

bool IsPositive(const char* text, std::size_t length) {
    return length >= 3 && strncasecmp(text, "+OK", 3) == 0;
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

Pop3Session::Pop3Session()
    : ownedStream_(std::make_unique<SocketStream>()), stream_(*ownedStream_) {}

Pop3Session::Pop3Session(ByteStream& stream) : stream_(stream) {}

Pop3Session::~Pop3Session() {
    if (phase_ != SessionPhase::kClosed) {
        Quit();
    }
    stream_.Close();
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
        return FailFromStream();
    }
    failure_ = Failure{kind, {}, {}};
    if (kind == FailureKind::kServer) {
        const std::string_view line(m_strLastResponse);
        failure_.detail =
            std::string(line.substr(0, std::min(line.find_first_of("\r\n"), kDetailBytes)));
    }
    return 0;
}

int Pop3Session::FailFromStream() {
    failure_ = stream_.LastFailure();
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

int Pop3Session::ReadResponse(Reply& reply, const char* terminator, bool judged) {
    const std::size_t terminatorLength = std::strlen(terminator);
    // A multi-line reply is known refused (or out of step) from its status line alone.
    bool statusPending = terminatorLength > 2;
    const auto start = Clock::now();
    auto lastActivity = start;
    std::size_t searchFrom = 0;
    reply.length = 0;
    reply.data[0] = '\0';
    for (;;) {
        const std::size_t before = reply.length;
        if (TakeInput(reply, start, lastActivity) == 0) {
            return 0;
        }
        if (statusPending) {
            const std::size_t from = before > 0 ? before - 1 : 0;
            const void* lineEnd = memmem(reply.data.get() + from, reply.length - from, "\r\n", 2);
            if (lineEnd != nullptr) {
                statusPending = false;
                const auto at =
                    static_cast<std::size_t>(static_cast<const char*>(lineEnd) - reply.data.get());
                if (JudgeStatusLine(reply, at + 2) == 0) {
                    return 0;
                }
            }
        }
        const void* found = memmem(reply.data.get() + searchFrom, reply.length - searchFrom,
                                   terminator, terminatorLength);
        if (found != nullptr) {
            const std::size_t received = reply.length;
            reply.length =
                static_cast<std::size_t>(static_cast<const char*>(found) - reply.data.get());
            reply.data[reply.length] = '\0';
            // What follows the terminator came in the last piece and begins the next reply.
            inputStart_ -= received - reply.length - terminatorLength;
            if (judged && !IsPositive(reply.data.get(), reply.length)) {
                return Fail(reply, true, FailureKind::kServer);
            }
            return 1;
        }
        // Only the last bytes can begin a terminator that the next piece completes.
        searchFrom = reply.length >= terminatorLength ? reply.length - terminatorLength + 1 : 0;
    }
}

int Pop3Session::JudgeStatusLine(Reply& reply, std::size_t lineEnd) {
    const char* text = reply.data.get();
    if (IsPositive(text, lineEnd)) {
        return 1;
    }
    // A refusal is its status line alone; what follows it in the piece is the next reply.
    inputStart_ -= reply.length - lineEnd;
    reply.length = lineEnd;
    reply.data[lineEnd] = '\0';
    if (lineEnd >= 4 && strncasecmp(text, "-ERR", 4) == 0) {
        return Fail(reply, true, FailureKind::kServer);
    }
    Fail(reply, false, FailureKind::kServer);
    failure_.detail = "a reply was out of step";
    return 0;
}

int Pop3Session::TakeInput(Reply& reply, Clock::time_point start, Clock::time_point& lastActivity) {
    while (inputStart_ == inputEnd_) {
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
        if (stream_.PollReadable(readable) == 0) {
            return Fail(reply, false, FailureKind::kNone);
        }
        if (readable == 0) {
            // Waiting on the stream rather than sleeping reads data the moment it comes.
            const long long left = static_cast<long long>(m_nTimeout) - silent + 1;
            stream_.WaitReadable(readable,
                                 static_cast<int>(std::clamp<long long>(left, 1, kWaitSliceMs)));
            continue;
        }
        if (!input_) {
            input_ = std::make_unique<char[]>(kInputBytes);
        }
        const long received = stream_.Receive(input_.get(), kInputBytes);
        // 0 is a closed peer: nothing more can come, so waiting out the limit is useless.
        if (received <= 0) {
            return Fail(reply, false, FailureKind::kNone);
        }
        lastActivity = Clock::now();
        inputStart_ = 0;
        inputEnd_ = static_cast<std::size_t>(received);
    }
    if (reply.length + 1 >= reply.capacity && !reply.Grow()) {
        Fail(reply, false, FailureKind::kServer);
        failure_.detail = "a reply was too long";
        return 0;
    }
    const std::size_t piece = std::min(inputEnd_ - inputStart_, reply.capacity - 1 - reply.length);
    std::memcpy(reply.data.get() + reply.length, input_.get() + inputStart_, piece);
    inputStart_ += piece;
    reply.length += piece;
    reply.data[reply.length] = '\0';
    return 1;
}

int Pop3Session::ReadStatusLine() {
    Reply reply(kStatusLineBytes, kStatusLineBytes);
    return ReadResponse(reply, "\r\n");
}

// Only the greeting's stamp counts: a later line holding <...>, such as the STLS
// answer in clear, could otherwise choose what APOP digests.
int Pop3Session::ReadGreeting() {
    Reply reply(kStatusLineBytes, kStatusLineBytes);
    if (ReadResponse(reply, "\r\n") == 0) {
        return 0;
    }
    const std::string_view text(reply.data.get(), reply.length);
    const std::size_t open = text.find('<');
    const std::size_t close = text.find('>', open);
    if (open != std::string_view::npos && open > 0 && close != std::string_view::npos) {
        m_strTimestamp.assign(text.substr(open, close - open + 1));
    }
    SetPhase(SessionPhase::kAuthorization);
    return 1;
}

void Pop3Session::SetPhase(SessionPhase phase) {
    static constexpr const char* kNames[] = {"closed", "connected", "authorization", "transaction"};
    if (phase != phase_) {
        DebugLog::Write("pop3", std::string("phase ") + kNames[static_cast<int>(phase)]);
    }
    phase_ = phase;
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
    if (DebugLog::Enabled()) {
        for (std::size_t at = 0, end; (end = line.find('\n', at)) != std::string::npos;
             at = end + 1) {
            DebugLog::Command(std::string_view(line).substr(at, end + 1 - at));
        }
    }
    if (stream_.Send(line.data(), line.size()) != 0) {
        return 1;
    }
    // A command that went out in part leaves the server's reading unknown.
    outOfStep_ = true;
    return FailFromStream();
}

int Pop3Session::SendSecretLine(const std::string& line, std::string_view shownAs) {
    DebugLog::Write("pop3", std::string("> ").append(shownAs));
    if (stream_.Send(line.data(), line.size()) != 0) {
        return 1;
    }
    outOfStep_ = true;
    return FailFromStream();
}

int Pop3Session::SendCommands(const std::string& lines) {
    if (outOfStep_) {
        return 0;
    }
    return inputStart_ != inputEnd_ ? FailOutOfStep() : SendLine(lines);
}

int Pop3Session::FailOutOfStep() {
    outOfStep_ = true;
    failure_ = Failure{FailureKind::kServer, "a reply was out of step", {}};
    DebugLog::Write("pop3", "< a reply nobody asked for; the session is out of step");
    return 0;
}

void Pop3Session::SetSecurity(ConnectionSecurity security, std::string trustedFingerprint) {
    security_ = security;
    trustedFingerprint_ = std::move(trustedFingerprint);
}

void Pop3Session::SetSignInMethod(SignInMethod method) {
    signIn_ = method;
    m_bApop = method == SignInMethod::kApop ? 1 : 0;
}

int Pop3Session::Login(const std::string& host, const std::string& user,
                       const std::string& password, int port) {
    // A session may log in again, on a new connection, after the last one ended.
    if (phase_ != SessionPhase::kClosed) {
        Quit();
    }
    failure_ = Failure{};
    capabilities_ = Capabilities{};
    m_strTimestamp.clear();
    const bool oauth = signIn_ == SignInMethod::kOAuth2;
    // A stored field with a line break could append commands of its own (DELE …); in a
    // SASL response 0x01 ends a field, so a token holding one could add fields.
    if (HasLineBreakOrNul(user) || HasLineBreakOrNul(password) ||
        (oauth &&
         (user.find('\x01') != std::string::npos || password.find('\x01') != std::string::npos))) {
        failure_.kind = FailureKind::kBadCredential;
        return 0;
    }
    if (Connect(host, port) == 0) {
        DebugLog::Write("pop3", "could not connect to " + host + ":" + std::to_string(port));
        return 0;
    }
    SetPhase(SessionPhase::kConnected);
    if (ReadGreeting() == 0) {
        Quit();
        return 0;
    }
    if (!oauth && m_bApop == 1 && m_strTimestamp.empty()) {
        // Digesting the password alone would hand a replayable hash to whoever listens.
        failure_ = Failure{FailureKind::kNoApop, {}, {}};
        SetPhase(SessionPhase::kClosed);
        stream_.Close();
        return 0;
    }
    if (security_ == ConnectionSecurity::kStartTls && SecureWithStls(host) == 0) {
        return 0;
    }
    if (AskCapabilities() == 0 || Authenticate(host, port, user, password) == 0) {
        Quit();
        return 0;
    }
    SetPhase(SessionPhase::kTransaction);
    return 1;
}

int Pop3Session::Connect(const std::string& host, int port) {
    if (stream_.Create() == 0 ||
        stream_.Connect(host.c_str(), port, std::max(0, m_nTimeout), stop_) == 0) {
        return FailFromStream();
    }
    stream_.SetWaitLimits(std::max(0, m_nTimeout), stop_);
    if (security_ == ConnectionSecurity::kTls && stream_.StartTls(host, trustedFingerprint_) == 0) {
        FailFromStream();
        stream_.Close();
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
        // the stream's reason is recorded
    } else if (ReadStatusLine() == 0) {
        if (failure_.kind == FailureKind::kServer) {
            failure_.kind = FailureKind::kNoStartTls;
        }
    } else if (!NothingMoreArrived()) {
        // Bytes after "+OK" were not sent through TLS: they are never read as replies.
        failure_ = Failure{FailureKind::kHandshake, "the server sent data in clear after STLS", {}};
    } else if (stream_.StartTls(host, trustedFingerprint_) == 0) {
        FailFromStream();
    } else {
        result = 1;
    }
    if (result == 0) {
        SetPhase(SessionPhase::kClosed);
        stream_.Close();
    }
    return result;
}

bool Pop3Session::NothingMoreArrived() {
    int readable = 0;
    return inputStart_ == inputEnd_ && stream_.PollReadable(readable) == 1 && readable == 0;
}

// A server without CAPA answers "-ERR" and has no capabilities worth knowing; only a
// reply that was not read whole ends the login.
int Pop3Session::AskCapabilities() {
    if (SendCommands("CAPA\r\n") == 0) {
        return 0;
    }
    Reply reply(kStatusLineBytes, kCapabilityBytes);
    if (ReadResponse(reply, "\r\n.\r\n") == 0) {
        if (outOfStep_) {
            return 0;
        }
        failure_ = Failure{};
        return 1;
    }
    capabilities_ = Capabilities::Parse(std::string_view(reply.data.get(), reply.length));
    return 1;
}

int Pop3Session::Authenticate(const std::string& host, int port, const std::string& user,
                              const std::string& password) {
    int result = 0;
    if (signIn_ == SignInMethod::kOAuth2) {
        result = SignInWithOAuth(host, port, user, password);
    } else if (m_bApop == 1) {
        result = SignInWithApop(user, password);
    } else {
        result = SendLine("USER " + user + "\r\n") != 0 && ReadStatusLine() != 0 &&
                 SendLine("PASS " + password + "\r\n") != 0 && ReadStatusLine() != 0;
    }
    if (result == 0 && failure_.kind == FailureKind::kServer) {
        ClassifyRefusal();
    }
    return result;
}

void Pop3Session::ClassifyRefusal() {
    failure_.kind = FailureKind::kLoginRefused;
    // The user reads the server's own words: what follows "-ERR".
    if (failure_.detail.rfind("-ERR", 0) == 0) {
        failure_.detail.erase(0, failure_.detail.find_first_not_of(' ', 4));
    }
    // RFC 2449 and 3206: a code in brackets says the fault is not the credentials'.
    struct ResponseCode {
        std::string_view code;
        FailureKind kind;
    };
    static constexpr ResponseCode kCodes[] = {
        {"[SYS/TEMP]", FailureKind::kTemporary},  // the server's own, and it passes
        {"[IN-USE]", FailureKind::kInUse},        // another session holds the mailbox
    };
    for (const ResponseCode& code : kCodes) {
        if (failure_.detail.size() >= code.code.size() &&
            strncasecmp(failure_.detail.data(), code.code.data(), code.code.size()) == 0) {
            failure_.kind = code.kind;
            const std::size_t text = failure_.detail.find_first_not_of(' ', code.code.size());
            failure_.detail.erase(0, std::min(text, failure_.detail.size()));
            return;
        }
    }
}

int Pop3Session::SignInWithApop(const std::string& user, const std::string& password) {
    const std::string stamped = m_strTimestamp + password;
    const std::string digest = Md5Hex(stamped.data(), stamped.size());
    if (SendLine("APOP " + user + " " + digest + "\r\n") == 0) {
        return 0;
    }
    m_bApop = 0;
    return ReadStatusLine();
}

// Always AUTH and the response on lines of their own: a token is longer than the
// 255 octets an initial response may take, and some servers refuse that form outright.
int Pop3Session::SignInWithOAuth(const std::string& host, int port, const std::string& user,
                                 const std::string& token) {
    const OAuthMechanism mechanism = pinnedMechanism_.value_or(
        capabilities_.OffersSasl("OAUTHBEARER") ? OAuthMechanism::kOAuthBearer
                                                : OAuthMechanism::kXOAuth2);
    const std::string command = "AUTH " + std::string(MechanismName(mechanism)) + "\r\n";
    if (SendLine(command) == 0) {
        return 0;
    }
    Reply challenge(kStatusLineBytes, kStatusLineBytes);
    if (ReadResponse(challenge, "\r\n", false) == 0) {
        return 0;
    }
    if (challenge.length == 0 || challenge.data[0] != '+' ||
        (challenge.length > 1 && challenge.data[1] != ' ')) {
        // "-ERR": the mechanism is refused; anything else is not a SASL exchange.
        return Fail(challenge, true, FailureKind::kServer);
    }
    if (inputStart_ != inputEnd_) {
        return FailOutOfStep();  // more than the challenge came: what answers what is lost
    }
    const std::string response = OAuthResponse(mechanism, user, host, port, token) + "\r\n";
    if (SendSecretLine(response, "(the token, withheld)") == 0) {
        return 0;
    }
    return FinishOAuth(mechanism);
}

int Pop3Session::FinishOAuth(OAuthMechanism mechanism) {
    Reply outcome(kStatusLineBytes, kStatusLineBytes);
    if (ReadResponse(outcome, "\r\n", false) == 0) {
        return 0;
    }
    const bool errorChallenge = outcome.length >= 1 && outcome.data[0] == '+' &&
                                !IsPositive(outcome.data.get(), outcome.length);
    if (errorChallenge) {
        // The challenge is the server's JSON error; the -ERR that follows is what the
        // user reads.
        const std::string acknowledgement =
            std::string(OAuthErrorAcknowledgement(mechanism)) + "\r\n";
        if (SendLine(acknowledgement) == 0 || ReadResponse(outcome, "\r\n", false) == 0) {
            return 0;
        }
    }
    if (IsPositive(outcome.data.get(), outcome.length)) {
        return 1;
    }
    return Fail(outcome, true, FailureKind::kServer);
}

int Pop3Session::Stat(int& count, int& size) {
    if (SendCommands("STAT\r\n") == 0) {
        return 0;
    }
    statDone_ = true;
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
        return Fail(reply, true, FailureKind::kServer);
    }
    // "+OK", then the count and the size, each after blanks and all digits: a negative
    // or missing count would pass for an empty mailbox.
    long long figures[2] = {0, 0};
    const char* p = text + 3;
    for (long long& figure : figures) {
        const char* digits = p;
        while (digits < end && IsBlank(*digits)) {
            ++digits;
        }
        if (digits == p || digits == end || *digits < '0' || *digits > '9') {
            return Fail(reply, true, FailureKind::kServer);
        }
        figure = ParseNumber(digits, end, 0, INT_MAX);
        for (p = digits; p < end && *p >= '0' && *p <= '9'; ++p) {
        }
    }
    count = static_cast<int>(figures[0]);
    messageCount_ = count;
    size = static_cast<int>(figures[1]);
    return 1;
}

int Pop3Session::List() {
    int count = messageCount_;
    if (!statDone_) {
        int discarded = 0;
        if (Stat(count, discarded) == 0) {
            return 0;
        }
        statDone_ = true;
    }
    if (SendCommands("LIST\r\n") == 0) {
        return 0;
    }
    listDone_ = ParseListReply(count) == 1;
    return listDone_ ? 1 : 0;
}

int Pop3Session::ParseListReply(int count) {
    const std::size_t messages = count > 0 ? static_cast<std::size_t>(count) : 0;
    const std::size_t wanted =
        std::min(messages, kFirstAllocationCap) * kListBytesPerMessage + kListExtraBytes;
    Reply reply(std::min(wanted, kFirstAllocationCap), kReplyLimit);
    if (ReadResponse(reply, "\r\n.\r\n") == 0) {
        return 0;
    }
    sizes_.clear();
    sizes_.reserve(std::min(messages, kFirstAllocationCap));
    const char* end = reply.data.get() + reply.length;
    // The message numbers are not read: the n-th line's size is taken for message n.
    // Each byte is looked at once, and a line gives one size however many blanks it
    // holds, so a hostile listing costs time and memory in proportion to its lines.
    for (const char* line = SkipLine(reply.data.get(), end); line < end && *line != '.';) {
        const char* next = SkipLine(line, end);
        const char* p = line;
        while (p < next && IsBlank(*p)) {
            ++p;
        }
        while (p < next && !IsSpace(*p)) {
            ++p;
        }
        if (p < next && IsBlank(*p)) {
            sizes_.push_back(static_cast<std::uint32_t>(ParseNumber(p, next, 0, UINT32_MAX)));
        }
        line = next;
    }
    return 1;
}

int Pop3Session::EnsureListed() {
    if (outOfStep_ || listFailed_) {
        return 0;
    }
    if (!listDone_ && List() == 0) {
        listFailed_ = true;
        return 0;
    }
    return 1;
}

int Pop3Session::GetMessageSize(int number, int& size) {
    if (EnsureListed() == 0) {
        return 0;
    }
    if (number < 1 || static_cast<std::size_t>(number) > sizes_.size()) {
        failure_ = Failure{};  // not listed: no message, and nothing went wrong
        return 0;
    }
    size = static_cast<int>(std::min<std::uint32_t>(sizes_[number - 1], INT_MAX));
    return 1;
}

int Pop3Session::Top(int number, MessageHeader& header) {
    int size = 0;
    if (GetMessageSize(number, size) == 0) {
        return 0;
    }
    if (SendCommands("TOP " + std::to_string(number) + " 0\r\n") == 0) {
        return 0;
    }
    return ReadTopReply(header, static_cast<std::uint32_t>(size));
}

int Pop3Session::UniqueIds(std::vector<std::string>& ids) {
    ids.clear();
    if (outOfStep_ || listFailed_) {
        return 0;
    }
    if (!listDone_ && statDone_ && capabilities_.pipelining) {
        return ListWithUniqueIds(ids);
    }
    if (EnsureListed() == 0 || SendCommands("UIDL\r\n") == 0) {
        return 0;
    }
    return ParseUidlReply(ids);
}

int Pop3Session::ListWithUniqueIds(std::vector<std::string>& ids) {
    if (SendCommands("LIST\r\nUIDL\r\n") == 0) {
        return 0;
    }
    listDone_ = ParseListReply(messageCount_) == 1;
    if (listDone_) {
        return ParseUidlReply(ids);
    }
    listFailed_ = true;
    // The unique ids' reply is on its way all the same; reading it keeps the session in
    // step, and the listing's failure is the one to tell.
    const Failure reason = failure_;
    if (!outOfStep_) {
        ParseUidlReply(ids);
        if (!outOfStep_) {
            failure_ = reason;
        }
    }
    ids.clear();
    return 0;
}

int Pop3Session::ParseUidlReply(std::vector<std::string>& ids) {
    const std::size_t messages = sizes_.size();
    Reply reply(std::min(messages * kUidlBytesPerMessage + kListExtraBytes, kFirstAllocationCap),
                kReplyLimit);
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
    if (HasRepeatedId(ids)) {
        // Kept verdicts are found by id: one id for two messages would give one the
        // other's verdict. Such a listing counts as none, as from a server without UIDL.
        DebugLog::Write("pop3", "the unique-id listing repeats an id; it is not used");
        ids.clear();
        failure_ = Failure{};
        return 0;
    }
    return 1;
}

int Pop3Session::TopEach(const std::vector<int>& numbers,
                         const std::function<bool(int number, MessageHeader& header)>& each) {
    if (EnsureListed() == 0) {
        return 0;
    }
    const int result =
        capabilities_.pipelining ? TopEachPipelined(numbers, each) : TopEachInTurn(numbers, each);
    // Bytes after the last reply answer nothing that was asked: an earlier reply may
    // have been taken for another message's.
    return result == 1 && inputStart_ != inputEnd_ ? FailOutOfStep() : result;
}

int Pop3Session::TopEachInTurn(const std::vector<int>& numbers,
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

// The replies come in the order of the commands. A message the listing leaves out is
// not asked for, but `each` still sees it in its turn.
int Pop3Session::TopEachPipelined(
    const std::vector<int>& numbers,
    const std::function<bool(int number, MessageHeader& header)>& each) {
    struct Asked {
        int number;
        std::uint32_t size;
        std::size_t commandBytes;  // 0: not asked
    };
    std::deque<Asked> window;
    std::size_t next = 0;
    std::size_t outstanding = 0;
    std::size_t outstandingBytes = 0;
    while (next < numbers.size() || !window.empty()) {
        // Topping up at half keeps the server busy while the sends stay in large pieces.
        if (next < numbers.size() && outstanding <= kWindowCommands / 2) {
            std::string lines;
            for (; next < numbers.size() && outstanding < kWindowCommands; ++next) {
                const int number = numbers[next];
                Asked asked{number, 0, 0};
                if (number >= 1 && static_cast<std::size_t>(number) <= sizes_.size()) {
                    const std::string line = "TOP " + std::to_string(number) + " 0\r\n";
                    if (outstandingBytes + line.size() > kWindowBytes) {
                        break;
                    }
                    lines += line;
                    asked =
                        Asked{number, sizes_[static_cast<std::size_t>(number) - 1], line.size()};
                    ++outstanding;
                    outstandingBytes += line.size();
                }
                window.push_back(asked);
            }
            if (!lines.empty() && SendLine(lines) == 0) {
                return 0;
            }
        }
        const Asked asked = window.front();
        window.pop_front();
        MessageHeader header;
        if (asked.commandBytes > 0) {
            --outstanding;
            outstandingBytes -= asked.commandBytes;
            if (ReadTopReply(header, asked.size) == 0 && (outOfStep_ || StopRequested())) {
                return 0;
            }
        }
        if (!each(asked.number, header)) {
            // Replies still on their way would be read as answers to later commands.
            outOfStep_ = outstanding > 0;
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

std::string Pop3Session::UndoDotStuffing(std::string_view text) {
    std::string plain;
    plain.reserve(text.size());
    bool lineStart = true;
    for (const char c : text) {
        if (!(lineStart && c == '.')) {
            plain.push_back(c);
            lineStart = c == '\n';
        } else {
            lineStart = false;
        }
    }
    return plain;
}

int Pop3Session::Retrieve(int number, std::string& bytes) {
    bytes.clear();
    int size = 0;
    if (GetMessageSize(number, size) == 0) {
        return 0;
    }
    if (SendCommands("RETR " + std::to_string(number) + "\r\n") == 0) {
        return 0;
    }
    const std::size_t wanted = static_cast<std::size_t>(size) + kTopExtraBytes;
    Reply reply(std::min(wanted, kFirstAllocationCap), kReplyLimit);
    if (ReadResponse(reply, "\r\n.\r\n") == 0) {
        return 0;
    }
    const char* end = reply.data.get() + reply.length;
    const char* start = SkipLine(reply.data.get(), end);
    // The terminator search took the last line's CRLF; an empty message has none, and
    // then no line break follows the status line.
    const bool hasLines = start != end || (reply.length > 0 && end[-1] == '\n');
    bytes = UndoDotStuffing(std::string_view(start, static_cast<std::size_t>(end - start)));
    if (hasLines) {
        bytes += "\r\n";
    }
    return 1;
}

int Pop3Session::Delete(int number) {
    if (SendCommands("DELE " + std::to_string(number) + "\r\n") == 0) {
        return 0;
    }
    return ReadStatusLine();
}

void Pop3Session::Abandon() {
    DebugLog::Write("pop3", "closing without QUIT: the server removes nothing");
    SetPhase(SessionPhase::kClosed);
    listDone_ = false;
    statDone_ = false;
    inputStart_ = 0;
    inputEnd_ = 0;
    listFailed_ = false;
    outOfStep_ = false;
    stream_.Close();
}

int Pop3Session::Quit() {
    int result = 0;
    // The reason of the failure that led here must survive the QUIT's own reply.
    const Failure reason = failure_;
    if (phase_ != SessionPhase::kClosed) {
        SendLine("QUIT\r\n");
        // Out of step, the answer could not be told from the rest of the last reply.
        if (!outOfStep_ && inputStart_ == inputEnd_ && stream_.CheckPeer() != -1) {
            result = ReadStatusLine();
        }
        SetPhase(SessionPhase::kClosed);
        listDone_ = false;
        statDone_ = false;
        inputStart_ = 0;
        inputEnd_ = 0;
        listFailed_ = false;
        outOfStep_ = false;
    }
    stream_.Close();
    failure_ = reason;
    return result;
}
