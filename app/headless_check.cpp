#include "app/headless_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>

#include "app/json_text.h"
#include "app/kept_file.h"
#include "pop3/connection_security.h"
#include "scan/rule_loader.h"
#include "store/account_file.h"
#include "store/data_lines.h"
#include "store/rule_list_file.h"
#include "store/user_prompts.h"

namespace {

constexpr char kUsage[] =
    "Usage: quorvane --check [--json] [--no-delete] [--data-dir DIR] [--passphrase-file FILE]\n";
constexpr char kIncorrect[] = "The passphrase is incorrect.";

// Answers the passphrase once and counts the lines that did not decrypt.
class FixedPassphrase : public UserPrompts {
  public:
    explicit FixedPassphrase(std::string passphrase) : passphrase_(std::move(passphrase)) {}
    bool AskPassphrase(bool, std::string& passphrase) override {
        passphrase = passphrase_;
        return true;
    }
    void ShowNotice(const std::string& text) override { notices.push_back(text); }
    std::vector<std::string> notices;

  private:
    std::string passphrase_;
};

// Blanks, tabs and line breaks, as the passphrase dialog trims a typed passphrase, so
// a file that opens the window's data also opens it here.
bool IsTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string Trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsTrimmed(text[begin])) {
        ++begin;
    }
    while (end > begin && IsTrimmed(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

// Why a data file cannot be read, or empty when it is a readable regular file or
// absent. Checked before reading, so a FIFO or a device is never waited on.
std::string Unreadable(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? std::string() : std::strerror(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return S_ISDIR(info.st_mode) ? "it is a directory" : "it is not a regular file";
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::strerror(errno);
    }
    ::close(fd);
    return {};
}

// The first line of a file, trimmed. A pipe is read as it comes: `<(...)` gives one.
bool ReadFirstLine(const std::string& path, std::string& line) {
    std::ifstream in(path, std::ios::binary);
    if (!in || !std::getline(in, line)) {
        return false;
    }
    line = Trimmed(line);
    return true;
}

// The terminal the prompt turned echo off on, for the signal handler to turn it on.
volatile std::sig_atomic_t gQuietTty = -1;
termios gSavedTty{};

extern "C" void RestoreEchoAndResignal(int signal) {
    if (gQuietTty >= 0) {
        tcsetattr(gQuietTty, TCSAFLUSH, &gSavedTty);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Echo comes back however the prompt ends: a line, end of input, or a signal that
// would end the program (Ctrl-C included).
class QuietTerminal {
  public:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    explicit QuietTerminal(int tty) : tty_(tty) {
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            struct sigaction action {};
            action.sa_handler = RestoreEchoAndResignal;
            sigemptyset(&action.sa_mask);
            sigaction(kSignals[i], &action, &previous_[i]);
        }
    }
    ~QuietTerminal() {
        tcsetattr(tty_, TCSAFLUSH, &saved_);
        gQuietTty = -1;
        for (std::size_t i = 0; i < std::size(kSignals); ++i) {
            sigaction(kSignals[i], &previous_[i], nullptr);
        }
    }
    QuietTerminal(const QuietTerminal&) = delete;
    QuietTerminal& operator=(const QuietTerminal&) = delete;
    // Turns echo off; false when `tty` is no terminal.
    bool Quiet(const termios& saved) {
        saved_ = saved;
        gSavedTty = saved;
        gQuietTty = tty_;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        return tcsetattr(tty_, TCSAFLUSH, &quiet) == 0;
    }

  private:
    int tty_;
    termios saved_{};
    struct sigaction previous_[std::size(kSignals)]{};
};

// Asks on the terminal with echo off; false when there is no terminal.
bool AskOnTerminal(std::string& passphrase) {
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        return false;
    }
    termios saved{};
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        QuietTerminal quiet(tty);
        quiet.Quiet(saved);
        const char prompt[] = "Passphrase: ";
        [[maybe_unused]] const ssize_t shown = write(tty, prompt, sizeof prompt - 1);
        char c = 0;
        while (read(tty, &c, 1) == 1 && c != '\n') {
            passphrase += c;
        }
        [[maybe_unused]] const ssize_t ended = write(tty, "\n", 1);
    }
    close(tty);
    passphrase = Trimmed(passphrase);
    return isTerminal;
}

// A server's bytes on the terminal: control characters (C1 ones in UTF-8 too) show
// as \xHH, so a hostile Subject can neither start a line of its own nor move the
// cursor.
std::string Printable(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    char escape[8];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const bool c1 = c == 0xC2 && i + 1 < bytes.size() &&
                        static_cast<unsigned char>(bytes[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(bytes[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
            if (c1) {
                std::snprintf(escape, sizeof escape, "\\x%02x",
                              static_cast<unsigned char>(bytes[++i]));
                text += escape;
            }
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

const char* ListLabel(RuleList list) {
    return list == RuleList::kBlock ? "Block" : "Friends";
}

std::string RulesJson(const std::vector<FiredRule>& rules) {
    std::string json = "[";
    for (const FiredRule& rule : rules) {
        json += (json.size() > 1 ? ",{\"list\":\"" : "{\"list\":\"");
        json += rule.list == RuleList::kBlock ? "block" : "friends";
        json += "\",\"header\":" + JsonString(rule.header) +
                ",\"contains\":" + JsonString(rule.contains) +
                ",\"weight\":" + std::to_string(rule.weight) + "}";
    }
    return json + "]";
}

std::string UnwantedJson(const UnwantedMessage& message) {
    return "{\"number\":" + std::to_string(message.number) +
           ",\"uidl\":" + JsonString(message.uidl) + ",\"from\":" + JsonString(message.from) +
           ",\"subject\":" + JsonString(message.subject) + ",\"date\":" + JsonString(message.date) +
           ",\"score\":" + std::to_string(message.score) +
           ",\"rules\":" + RulesJson(message.rules) + ",\"limited\":" + RulesJson(message.limited) +
           "}";
}

std::string DeletedJson(const DeletedMessage& message) {
    return "{\"uidl\":" + JsonString(message.uidl) + ",\"from\":" + JsonString(message.from) +
           ",\"subject\":" + JsonString(message.subject) +
           ",\"score\":" + std::to_string(message.score) + ",\"copy\":" + JsonString(message.copy) +
           "}";
}

}  // namespace

bool HeadlessCheck::Requested(int argc, const char* const* argv) {
    return argc >= 2 && std::strcmp(argv[1], "--check") == 0;
}

HeadlessCheck::HeadlessCheck(AppState& state, std::ostream& out, std::ostream& err,
                             ScanWorkerSettings settings)
    : state_(state), out_(out), err_(err), settings_(settings) {}

bool HeadlessCheck::ParseArguments(int argc, const char* const* argv, Options& options) {
    if (!Requested(argc, argv)) {
        return false;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--no-delete") {
            options.noDelete = true;
        } else if (arg == "--data-dir" && hasValue) {
            options.dataDirectory = argv[++i];
        } else if (arg == "--passphrase-file" && hasValue) {
            options.passphraseFile = argv[++i];
        } else {
            err_ << "quorvane: unknown or incomplete option: " << arg << "\n";
            return false;
        }
    }
    return true;
}

bool HeadlessCheck::ReadPassphrase(const Options& options, std::string& passphrase) {
    if (!options.passphraseFile.empty()) {
        if (ReadFirstLine(options.passphraseFile, passphrase)) {
            return true;
        }
        err_ << "quorvane: cannot read the passphrase from " << options.passphraseFile << "\n";
        return false;
    }
    if (AskOnTerminal(passphrase)) {
        return true;
    }
    err_ << "quorvane: no terminal to ask for the passphrase: give --passphrase-file\n";
    return false;
}

bool HeadlessCheck::LoadData(const Options& options, const std::string& passphrase) {
    std::string directory = options.dataDirectory;
    if (directory.empty() || directory.back() != '/') {
        directory += '/';
    }
    if (directory.size() >= kPathSize) {
        err_ << "quorvane: the data directory's path is too long\n";
        return false;
    }
    SetDataDirectory(state_, directory);
    // A file that cannot be read would pass for one without accounts or rules.
    for (const char* name : {"email.qvd", "friends.qvd", "block.qvd"}) {
        const std::string why = Unreadable(directory + name);
        if (!why.empty()) {
            err_ << "quorvane: cannot read " << directory << name << ": " << why << "\n";
            return false;
        }
    }
    if (DataFileMissingOrEmpty(AccountFilePath(state_))) {
        err_ << "quorvane: no accounts in " << directory << " (email.qvd is missing or empty)\n";
        return false;
    }
    SetAccountText(state_.passphrase, passphrase);
    FixedPassphrase prompts(passphrase);
    LoadAccountFile(state_, prompts);
    // Not one account opens: the passphrase is wrong (the window would go on apart).
    if (state_.accountsApart) {
        err_ << "quorvane: " << kIncorrect << "\n";
        return false;
    }
    for (const std::string& notice : prompts.notices) {
        err_ << "quorvane: " << notice << "\n";
    }
    return true;
}

int HeadlessCheck::Run(int argc, const char* const* argv, const std::string& defaultDataDirectory) {
    Options options;
    options.dataDirectory = defaultDataDirectory;
    std::string passphrase;
    if (!ParseArguments(argc, argv, options)) {
        err_ << kUsage;
        return kUsageError;
    }
    if (!ReadPassphrase(options, passphrase) || !LoadData(options, passphrase)) {
        return kUsageError;
    }
    // Here rather than in LoadData: a sign-in needs no rules, and their cache would
    // cost it a key derivation that only the kept file's reading pays back.
    LoadRuleLists(state_);
    static_cast<void>(KeptFile::Load(state_));
    ScanWorkerSettings settings = settings_;
    settings.deleteAutomatically = settings.deleteAutomatically && !options.noDelete;
    ScanWorker worker(state_, *this, settings);
    worker.SetAccessTokens(tokens_);
    worker.RunPass();
    static_cast<void>(KeptFile::SaveIfChanged(state_));
    const std::vector<CheckReport> reports = TakeReports();
    if (options.json) {
        PrintJson(reports);
    } else {
        PrintText(reports);
    }
    for (const CheckReport& report : reports) {
        if (report.failure.failed()) {
            return kSomeFailed;
        }
    }
    return kAllChecked;
}

bool HeadlessCheck::OpenData(const std::string& dataDirectory, const std::string& passphraseFile) {
    Options options;
    options.dataDirectory = dataDirectory;
    options.passphraseFile = passphraseFile;
    std::string passphrase;
    return ReadPassphrase(options, passphrase) && LoadData(options, passphrase);
}

void HeadlessCheck::CheckEnded(AccountId id, const CheckReport& report) {
    std::lock_guard lock(reportsMutex_);
    reports_[id] = report;
}

std::vector<CheckReport> HeadlessCheck::TakeReports() {
    std::lock_guard lock(reportsMutex_);
    std::vector<CheckReport> reports(state_.AccountCount());
    for (std::size_t row = 0; row < reports.size(); ++row) {
        const auto found = reports_.find(state_.IdOf(static_cast<std::uint32_t>(row)));
        if (found != reports_.end()) {
            reports[row] = std::move(found->second);
        } else {
            reports[row].failure = Failure{FailureKind::kServer, "the account was not checked", {}};
        }
    }
    return reports;
}

void HeadlessCheck::PrintText(const std::vector<CheckReport>& reports) const {
    for (std::size_t row = 0; row < reports.size(); ++row) {
        AccountRecord account{};
        state_.CopyAccount(static_cast<std::uint32_t>(row), account);
        const CheckReport& report = reports[row];
        out_ << (row != 0 ? "\n" : "") << account.description << "\n"
             << "  Host:     " << report.host << "\n"
             << "  Port:     " << report.port << "\n"
             << "  Security: " << SecurityLabel(SecurityFromDigit(account.security)) << "\n"
             << "  Status:   " << Printable(FailureText(report.failure)) << "\n";
        if (report.messages >= 0) {
            out_ << "  Messages: " << report.messages << " (" << report.size << " bytes)\n";
        }
        if (account.scanMessages == 1 && !report.failure.failed()) {
            out_ << "  Unwanted: " << report.unwanted.size() << "\n";
            for (const UnwantedMessage& message : report.unwanted) {
                PrintUnwantedText(message);
            }
        }
    }
}

void HeadlessCheck::PrintUnwantedText(const UnwantedMessage& message) const {
    out_ << "    " << message.number << "  score " << message.score << "\n"
         << "      " << Printable(message.from) << "\n"
         << "      " << Printable(message.subject) << "\n";
    if (!message.date.empty()) {
        out_ << "      Date: " << Printable(message.date) << "\n";
    }
    for (const FiredRule& rule : message.rules) {
        out_ << "      " << ListLabel(rule.list) << ": " << rule.header << " contains \""
             << rule.contains << "\", weight " << rule.weight << "\n";
    }
    for (const FiredRule& rule : message.limited) {
        out_ << "      Too many steps, counted as not matching: " << ListLabel(rule.list) << ": "
             << rule.header << " contains \"" << rule.contains << "\", weight " << rule.weight
             << "\n";
    }
}

void HeadlessCheck::PrintJson(const std::vector<CheckReport>& reports) const {
    out_ << "{\"accounts\":[";
    for (std::size_t row = 0; row < reports.size(); ++row) {
        AccountRecord account{};
        state_.CopyAccount(static_cast<std::uint32_t>(row), account);
        const CheckReport& report = reports[row];
        const bool failed = report.failure.failed();
        out_ << (row != 0 ? "," : "") << "{\"description\":" << JsonString(account.description)
             << ",\"host\":" << JsonString(report.host) << ",\"port\":" << report.port
             << ",\"security\":\"" << SecurityName(SecurityFromDigit(account.security))
             << "\",\"status\":\"" << (failed ? "error" : "ok") << "\"";
        if (failed) {
            out_ << ",\"error\":" << JsonString(FailureText(report.failure));
        }
        // A count never read is null, not a count of zero.
        if (report.messages >= 0) {
            out_ << ",\"messages\":" << report.messages << ",\"size\":" << report.size;
        } else {
            out_ << ",\"messages\":null,\"size\":null";
        }
        out_ << ",\"unwanted\":[";
        for (std::size_t i = 0; i < report.unwanted.size(); ++i) {
            const UnwantedMessage& message = report.unwanted[i];
            out_ << (i != 0 ? "," : "") << UnwantedJson(message);
        }
        out_ << "]";
        // Only accounts that delete on their own carry the list: the output of the
        // others stays as it was.
        if (account.autoDelete == 1) {
            out_ << ",\"deleted\":[";
            for (std::size_t i = 0; i < report.deleted.size(); ++i) {
                out_ << (i != 0 ? "," : "") << DeletedJson(report.deleted[i]);
            }
            out_ << "]";
        }
        out_ << "}";
    }
    out_ << "]}\n";
}
