#include "app/headless_check.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <ostream>

#include "app/json_text.h"
#include "pop3/connection_security.h"
#include "store/account_file.h"
#include "store/data_lines.h"
#include "store/rule_list_file.h"
#include "store/user_prompts.h"

namespace {

constexpr char kUsage[] =
    "Usage: quorvane --check [--json] [--data-dir DIR] [--passphrase-file FILE]\n";
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

// The first line of a file, without its line end.
bool ReadFirstLine(const std::string& path, std::string& line) {
    std::ifstream in(path, std::ios::binary);
    if (!in || !std::getline(in, line)) {
        return false;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// Asks on the terminal with echo off; false when there is no terminal.
bool AskOnTerminal(std::string& passphrase) {
    const int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (tty < 0) {
        return false;
    }
    termios saved{};
    const bool isTerminal = tcgetattr(tty, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(tty, TCSAFLUSH, &quiet);
        const char prompt[] = "Passphrase: ";
        [[maybe_unused]] const ssize_t shown = write(tty, prompt, sizeof prompt - 1);
        char c = 0;
        while (read(tty, &c, 1) == 1 && c != '\n') {
            passphrase += c;
        }
        tcsetattr(tty, TCSAFLUSH, &saved);
        [[maybe_unused]] const ssize_t ended = write(tty, "\n", 1);
    }
    close(tty);
    return isTerminal;
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
           ",\"rules\":" + RulesJson(message.rules) + "}";
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
    LoadRuleLists(state_);
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
    ScanWorker worker(state_, *this, settings_);
    worker.SetAccessTokens(tokens_);
    worker.RunPass();
    const std::vector<CheckReport> reports = Reports();
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

void HeadlessCheck::ReportCheck(int row, const CheckReport& report) {
    reports_[row] = report;
}

std::vector<CheckReport> HeadlessCheck::Reports() const {
    std::vector<CheckReport> reports(state_.AccountCount());
    for (std::size_t row = 0; row < reports.size(); ++row) {
        const auto found = reports_.find(static_cast<int>(row));
        if (found != reports_.end()) {
            reports[row] = found->second;
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
             << "  Status:   " << FailureText(report.failure) << "\n";
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
         << "      " << message.from << "\n"
         << "      " << message.subject << "\n";
    if (!message.date.empty()) {
        out_ << "      Date: " << message.date << "\n";
    }
    for (const FiredRule& rule : message.rules) {
        out_ << "      " << ListLabel(rule.list) << ": " << rule.header << " contains \""
             << rule.contains << "\", weight " << rule.weight << "\n";
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
        out_ << "]}";
    }
    out_ << "]}\n";
}
