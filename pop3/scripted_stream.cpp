#include "pop3/scripted_stream.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <utility>

ScriptedStream& ScriptedStream::Say(std::string bytes) {
    script_.push_back(Piece{std::move(bytes), awaited_});
    return *this;
}

ScriptedStream& ScriptedStream::AwaitCommand() {
    ++awaited_;
    return *this;
}

std::vector<std::string> ScriptedStream::Commands() const {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = sent_.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        lines.push_back(sent_.substr(start, end - start));
    }
    return lines;
}

int ScriptedStream::Fail(FailureKind kind, std::string detail) {
    failure_ = Failure{kind, std::move(detail), {}};
    return 0;
}

int ScriptedStream::Create() {
    Close();
    failure_ = Failure{};
    lastError_ = 0;
    created_ = true;
    return 1;
}

int ScriptedStream::Connect(const char* host, int port, int /*timeoutMs*/,
                            const std::atomic<bool>* /*stop*/) {
    if (!created_) {
        lastError_ = EBADF;
        return Fail(FailureKind::kConnection, std::strerror(EBADF));
    }
    // The script is one conversation: a second connection would find it spent.
    if (connects_ > 0) {
        lastError_ = ECONNREFUSED;
        return Fail(FailureKind::kRefused);
    }
    host_ = host;
    port_ = port;
    ++connects_;
    connected_ = true;
    Release();
    return 1;
}

void ScriptedStream::SetWaitLimits(int /*silenceMs*/, const std::atomic<bool>* stop) {
    stop_ = stop;
}

int ScriptedStream::StartTls(const std::string& /*host*/,
                             const std::string& /*trustedFingerprint*/) {
    connected_ = false;  // as after any failed handshake, nothing more may travel
    return Fail(FailureKind::kHandshake, "the scripted peer offers no TLS");
}

void ScriptedStream::Release() {
    for (; released_ < script_.size() && script_[released_].linesBefore <= linesSent_;
         ++released_) {
        if (!script_[released_].bytes.empty()) {
            arrived_.push_back(script_[released_].bytes);
        }
    }
}

bool ScriptedStream::Starved() const {
    return arrived_.empty() && released_ < script_.size();
}

bool ScriptedStream::Ended() const {
    return arrived_.empty() && released_ == script_.size();
}

int ScriptedStream::Send(const char* buffer, std::size_t count) {
    if (!connected_) {
        lastError_ = EBADF;
        return Fail(FailureKind::kConnection, std::strerror(EBADF));
    }
    sent_.append(buffer, count);
    linesSent_ += static_cast<std::size_t>(std::count(buffer, buffer + count, '\n'));
    silent_ = false;
    Release();
    return 1;
}

long ScriptedStream::Receive(char* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    if (!connected_) {
        lastError_ = EBADF;
        Fail(FailureKind::kConnection, std::strerror(EBADF));
        return -1;
    }
    if (Ended()) {
        Fail(FailureKind::kConnection, "the server closed the connection");
        return 0;
    }
    if (Starved()) {
        lastError_ = ETIMEDOUT;
        const bool stopped = stop_ != nullptr && stop_->load(std::memory_order_relaxed);
        Fail(stopped ? FailureKind::kStopped : FailureKind::kTimedOut);
        return -1;
    }
    const std::string& front = arrived_.front();
    const std::size_t count = std::min(capacity, front.size() - readFromFront_);
    std::memcpy(buffer, front.data() + readFromFront_, count);
    readFromFront_ += count;
    if (readFromFront_ == front.size()) {
        arrived_.pop_front();
        readFromFront_ = 0;
    }
    return static_cast<long>(count);
}

int ScriptedStream::PollReadable(int& readable) {
    if (!connected_) {
        lastError_ = EBADF;
        return 0;
    }
    if (silent_) {
        return 0;  // the reason is in LastFailure()
    }
    // A closed peer counts as readable, as on a socket: the following Receive tells.
    readable = Starved() ? 0 : 1;
    return 1;
}

int ScriptedStream::WaitReadable(int& readable, int waitMs) {
    if (PollReadable(readable) == 0) {
        return 0;
    }
    if (readable == 0 && waitMs > 0) {
        // Only a command could release more, and the caller is waiting instead of
        // sending one: the wait would run out whatever its length.
        silent_ = true;
        lastError_ = ETIMEDOUT;
        const bool stopped = stop_ != nullptr && stop_->load(std::memory_order_relaxed);
        Fail(stopped ? FailureKind::kStopped : FailureKind::kTimedOut);
    }
    return 1;
}

int ScriptedStream::CheckPeer() {
    if (!connected_) {
        lastError_ = ENOTCONN;
        return -1;
    }
    return 0;
}

int ScriptedStream::Close() {
    if (!created_) {
        return -1;
    }
    created_ = false;
    connected_ = false;
    silent_ = false;
    return 0;
}
