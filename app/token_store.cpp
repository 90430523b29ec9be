#include "app/token_store.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "app/debug_log.h"
#include "pop3/connection_security.h"
#include "store/account_record.h"
#include "store/atomic_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"

namespace {

constexpr char kService[] = "Quorvane";
constexpr char kFileName[] = "tokens.qvd";
constexpr char kSeparator = '\x01';

// Long enough for a keyring that asks the user to unlock it; short enough to leave the
// worker time for the token request within its silence limit.
std::atomic<long long> keyringWaitMs{20000};

// The worker and the window may both rewrite tokens.qvd.
std::mutex& FileMutex() {
    static std::mutex mutex;
    return mutex;
}

enum class JobKind { kRead, kWrite, kDelete };

struct KeyringAnswer {
    bool answered = false;
    QKeychain::Error error = QKeychain::NoError;
    QString text;
};

// Shared by the waiting thread and the job, so a wait that gives up leaves nothing
// the late job could write into.
struct KeyringCall {
    std::mutex mutex;
    std::condition_variable done;
    KeyringAnswer answer;
};

QKeychain::Job* MakeJob(JobKind kind, const QString& key, const QString& text) {
    QKeychain::Job* job = nullptr;
    if (kind == JobKind::kRead) {
        job = new QKeychain::ReadPasswordJob(QLatin1String(kService));
    } else if (kind == JobKind::kWrite) {
        auto* write = new QKeychain::WritePasswordJob(QLatin1String(kService));
        write->setTextData(text);
        job = write;
    } else {
        job = new QKeychain::DeletePasswordJob(QLatin1String(kService));
    }
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(key);
    return job;
}

// Starts the job on the calling thread (the application's).
void StartJob(const std::shared_ptr<KeyringCall>& call, JobKind kind, const QString& key,
              const QString& text) {
    QKeychain::Job* job = MakeJob(kind, key, text);
    QObject::connect(job, &QKeychain::Job::finished, [call, kind](QKeychain::Job* finished) {
        const std::lock_guard lock(call->mutex);
        call->answer.answered = true;
        call->answer.error = finished->error();
        if (kind == JobKind::kRead && finished->error() == QKeychain::NoError) {
            call->answer.text = static_cast<QKeychain::ReadPasswordJob*>(finished)->textData();
        }
        call->done.notify_all();
    });
    job->start();
}

KeyringAnswer RunKeyring(JobKind kind, const std::string& key, const std::string& text = {}) {
    auto call = std::make_shared<KeyringCall>();
    const QString qKey = QString::fromStdString(key);
    const QString qText = QString::fromStdString(text);
    const std::chrono::milliseconds wait(keyringWaitMs.load());
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) {
        return {};
    }
    if (QThread::currentThread() == app->thread()) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&loop, call] {
            const std::lock_guard lock(call->mutex);
            if (call->answer.answered) {
                loop.quit();
            }
        });
        StartJob(call, kind, qKey, qText);
        limit.start(wait);
        poll.start(10);
        loop.exec();
    } else {
        QMetaObject::invokeMethod(
            app, [call, kind, qKey, qText] { StartJob(call, kind, qKey, qText); },
            Qt::QueuedConnection);
        std::unique_lock lock(call->mutex);
        call->done.wait_for(lock, wait, [&call] { return call->answer.answered; });
    }
    const std::lock_guard lock(call->mutex);
    return call->answer;
}

// No keyring on this desktop (or no session bus to reach one).
bool KeyringAbsent(const KeyringAnswer& answer) {
    return !answer.answered || answer.error == QKeychain::NoBackendAvailable ||
           answer.error == QKeychain::OtherError;
}

class QuietPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string&) override { return false; }
    void ShowNotice(const std::string& text) override { DebugLog::Write("tokens", text); }
};

}  // namespace

TokenStore::TokenStore(std::string dataDirectory, std::string passphrase)
    : dataDirectory_(std::move(dataDirectory)), passphrase_(std::move(passphrase)) {}

TokenStore::TokenStore(const AppState& state) : TokenStore(state.dataDirectory, state.passphrase) {}

std::string TokenStore::Key(const AccountRecord& account) {
    const AccountLogin login = SplitAddress(account.address);
    const int port = EffectivePort(SecurityFromDigit(account.security), account.port);
    return std::string(account.providerId) + ":" + login.user + "@" + login.host + ":" +
           std::to_string(port);
}

std::string TokenStore::FilePath(const std::string& dataDirectory) {
    std::string path = dataDirectory;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path + kFileName;
}

void TokenStore::SetKeyringWait(std::chrono::milliseconds wait) {
    keyringWaitMs = wait.count();
}

bool TokenStore::Write(const std::string& key, const std::string& token) {
    const KeyringAnswer answer = RunKeyring(JobKind::kWrite, key, token);
    if (answer.answered && answer.error == QKeychain::NoError) {
        lastPlace_ = Place::kKeyring;
        // A token the file kept from a time without a keyring is now stale.
        bool unreadable = false;
        if (ReadFile(key, &unreadable) || unreadable) {
            WriteFile(key, std::nullopt);
        }
        return true;
    }
    if (!KeyringAbsent(answer)) {
        DebugLog::Write("tokens", "the keyring refused the token: " + answer.text.toStdString());
        lastPlace_ = Place::kNowhere;
        return false;
    }
    DebugLog::Write("tokens", "no keyring answers; the token goes to tokens.qvd");
    lastPlace_ = WriteFile(key, token) ? Place::kFile : Place::kNowhere;
    return lastPlace_ == Place::kFile;
}

std::optional<std::string> TokenStore::Read(const std::string& key, bool* unreadable) {
    if (unreadable) {
        *unreadable = false;
    }
    lastPlace_ = Place::kNowhere;
    const KeyringAnswer answer = RunKeyring(JobKind::kRead, key);
    const bool inKeyring = answer.answered && answer.error == QKeychain::NoError;
    if (answer.answered && !inKeyring && answer.error != QKeychain::EntryNotFound &&
        !KeyringAbsent(answer)) {
        if (unreadable) {
            *unreadable = true;
        }
        return std::nullopt;
    }
    // The file holds a token only when the keyring did not take the last write, so
    // its token is the newer one: a rotated token written while the keyring was slow
    // must not lose to the dead one the keyring still holds.
    std::optional<std::string> token = ReadFile(key, unreadable);
    if (token) {
        lastPlace_ = Place::kFile;
        return token;
    }
    if (inKeyring) {
        lastPlace_ = Place::kKeyring;
        return answer.text.toStdString();
    }
    return std::nullopt;
}

bool TokenStore::Remove(const std::string& key) {
    const KeyringAnswer answer = RunKeyring(JobKind::kDelete, key);
    const bool keyringClear = KeyringAbsent(answer) || answer.error == QKeychain::NoError ||
                              answer.error == QKeychain::EntryNotFound;
    bool unreadable = false;
    const bool inFile = ReadFile(key, &unreadable).has_value();
    const bool fileClear = !inFile || WriteFile(key, std::nullopt);
    return keyringClear && fileClear && !unreadable;
}

void TokenStore::Forget(const AppState& state, const AccountRecord& account) {
    if (account.providerId[0] == '\0') {
        return;
    }
    TokenStore store(state);
    if (!store.Remove(Key(account))) {
        DebugLog::Write("tokens", "a refresh token could not be deleted");
    }
}

std::optional<std::string> TokenStore::ReadFile(const std::string& key, bool* unreadable) const {
    const std::lock_guard lock(FileMutex());
    std::vector<std::string> lines;
    if (!ReadDataLinesIfAny(FilePath(dataDirectory_), lines)) {
        if (unreadable) {
            *unreadable = true;
        }
        return std::nullopt;
    }
    const std::string prefix = key + kSeparator;
    for (const std::string& line : lines) {
        const std::string record = RecordCipher::Decrypt(line, passphrase_.c_str());
        if (record.compare(0, prefix.size(), prefix) == 0) {
            return record.substr(prefix.size());
        }
    }
    return std::nullopt;
}

// Lines of other keys, and lines another passphrase wrote, stay as they are.
bool TokenStore::WriteFile(const std::string& key, const std::optional<std::string>& token) {
    const std::lock_guard lock(FileMutex());
    const std::string path = FilePath(dataDirectory_);
    std::vector<std::string> lines;
    if (!ReadDataLinesIfAny(path, lines)) {
        return false;
    }
    const std::string prefix = key + kSeparator;
    std::string content;
    for (const std::string& line : lines) {
        const std::string record = RecordCipher::Decrypt(line, passphrase_.c_str());
        if (record.compare(0, prefix.size(), prefix) != 0) {
            AppendDataLine(content, line);
        }
    }
    if (token) {
        const std::string record = prefix + *token;
        AppendDataLine(content,
                       RecordCipher::Encrypt(record.data(), record.size(), passphrase_.c_str()));
    }
    QuietPrompts prompts;
    return AtomicFile::Replace(path, content, prompts);
}
