// The headless check against a private Dovecot with TLS: what it prints, as text and as
// JSON, its exit codes, and that it writes nothing.
#include "app/headless_check.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "app/json_text.h"
#include "app/kept_file.h"
#include "store/account_file.h"
#include "store/rule_list_file.h"
#include "tests/support/dovecot_server.h"
#include "tests/support/test_certificates.h"

namespace {

// Dovecot's unique ids differ from run to run: each becomes "<uidl>".
std::string MaskUidls(std::string json) {
    const std::string key = "\"uidl\":\"";
    for (std::size_t at = json.find(key); at != std::string::npos; at = json.find(key, at)) {
        at += key.size();
        json.replace(at, json.find('"', at) - at, "<uidl>");
    }
    return json;
}

namespace fs = std::filesystem;

constexpr char kPassphrase[] = "check passphrase";
const std::string kWanted = "From: friend@example.org\r\nSubject: lunch\r\n\r\nhi\r\n";
// Bytes that would move the cursor or clear the screen if printed raw.
const std::string kHostile =
    "From: \x1b[2Jmallory@example.org\r\nSubject: You won\x08\x08\x1b]0;x\x07 \xc2\x9b"
    "1m\r\n\r\nbody\r\n";
const std::string kSpam =
    "From: win@lottery.example\r\nSubject: You won\r\nDate: Mon, 7 Dec 2026 06:00:00 +0000\r\n"
    "\r\n$$$\r\n";

class NoPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string& passphrase) override {
        passphrase = kPassphrase;
        return true;
    }
    void ShowNotice(const std::string& text) override { ADD_FAILURE() << text; }
};

struct Account {
    std::string description, address, password;
    int security, port, scan;
};

class HeadlessCheckTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = std::make_unique<qvtest::DovecotServer>();
        qvtest::TestCertificates certificates(server_->Directory());
        certificates.Make("good", "DNS:localhost,IP:127.0.0.1",
                          qvtest::TestCertificates::Issuer::kTestCa);
        certificates.Make("self", "IP:127.0.0.4", qvtest::TestCertificates::Issuer::kSelf);
        setenv("SSL_CERT_FILE", certificates.CaFile().c_str(), 1);
        server_->AddUser("alice", "s3cret", {kWanted, kSpam});
        server_->AddUser("mallory", "s3cret", {kHostile});
        server_->EnableTls(
            {{"127.0.0.1", {certificates.CertFile("good"), certificates.KeyFile("good")}},
             {"127.0.0.4", {certificates.CertFile("self"), certificates.KeyFile("self")}}});
        started_ = server_->Start();
    }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(started_) << server_->Error();
        char pattern[] = "/tmp/qv-check.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        std::ofstream(dir_ + "/passphrase") << kPassphrase << "\n";
    }
    void TearDown() override { fs::remove_all(dir_); }

    void WriteData(const std::vector<Account>& accounts) {
        AppState state;
        SetDataDirectory(state, dir_ + "/");
        SetAccountText(state.passphrase, kPassphrase);
        for (const Account& a : accounts) {
            AccountRecord record{};
            SetAccountText(record.description, a.description);
            SetAccountText(record.address, a.address);
            SetAccountText(record.password, a.password);
            record.security = a.security;
            record.port = a.port;
            record.scanMessages = a.scan;
            record.periodMinutes = 9999;  // checked now all the same
            state.AppendAccount(record);
        }
        NoPrompts prompts;
        ASSERT_TRUE(SaveAccountFile(state, prompts));
        ASSERT_TRUE(WriteRuleFile(state, RuleList::kBlock, {{"Subject:", "won", 30}}, prompts));
    }

    // Runs the check in this process; its output lands in out_ and err_.
    int Check(std::vector<const char*> args) {
        args.insert(args.begin(), {"quorvane", "--check"});
        out_.str("");
        err_.str("");
        AppState state;
        HeadlessCheck check(state, out_, err_);
        return check.Run(static_cast<int>(args.size()), args.data(), dir_);
    }

    std::string Snapshot() const {
        std::string all;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().filename() == KeptFile::kFileName) {
                continue;  // the one file a check updates
            }
            std::ifstream in(entry.path(), std::ios::binary);
            all += entry.path().filename().string() + ":" +
                   std::string(std::istreambuf_iterator<char>(in), {}) + "\n";
        }
        return all;
    }

    static std::unique_ptr<qvtest::DovecotServer> server_;
    static bool started_;
    std::string dir_;
    std::ostringstream out_;
    std::ostringstream err_;
};

std::unique_ptr<qvtest::DovecotServer> HeadlessCheckTest::server_;
bool HeadlessCheckTest::started_ = false;

TEST_F(HeadlessCheckTest, JsonTellsEachAccountsOutcomeAndWritesNothing) {
    const std::string tls = std::to_string(server_->TlsPort());
    const std::string plain = std::to_string(server_->Port());
    WriteData({{"Scanning", "alice@localhost", "s3cret", 1, server_->TlsPort(), 1},
               {"Counting", "alice@127.0.0.1", "s3cret", 2, server_->Port(), 0},
               {"Wrong password", "alice@127.0.0.1", "nope", 1, server_->TlsPort(), 1},
               {"Self-signed", "alice@127.0.0.4", "s3cret", 1, server_->TlsPort(), 1}});
    const std::string before = Snapshot();
    const std::string size = std::to_string(kWanted.size() + kSpam.size());

    EXPECT_EQ(HeadlessCheck::kSomeFailed,
              Check({"--json", "--data-dir", dir_.c_str(), "--passphrase-file",
                     (dir_ + "/passphrase").c_str()}));
    EXPECT_EQ(
        "{\"accounts\":["
        "{\"description\":\"Scanning\",\"host\":\"localhost\",\"port\":" +
            tls + ",\"security\":\"tls\",\"status\":\"ok\",\"messages\":2,\"size\":" + size +
            ",\"unwanted\":[{\"number\":2,\"uidl\":\"<uidl>\",\"from\":\"From: "
            "win@lottery.example\",\"subject\":\"Subject: You won\",\"date\":\"Mon, 7 Dec "
            "2026 06:00:00 +0000\",\"score\":-30,\"rules\":[{\"list\":\"block\",\"header\":"
            "\"Subject:\",\"contains\":\"won\",\"weight\":30}],\"limited\":[]}]},"
            "{\"description\":\"Counting\",\"host\":\"127.0.0.1\",\"port\":" +
            plain + ",\"security\":\"starttls\",\"status\":\"ok\",\"messages\":2,\"size\":" + size +
            ",\"unwanted\":[]},"
            "{\"description\":\"Wrong password\",\"host\":\"127.0.0.1\",\"port\":" +
            tls +
            ",\"security\":\"tls\",\"status\":\"error\",\"error\":\"The server refused the "
            "login: [AUTH] Authentication failed.\",\"messages\":null,\"size\":null,"
            "\"unwanted\":[]},"
            "{\"description\":\"Self-signed\",\"host\":\"127.0.0.4\",\"port\":" +
            tls +
            ",\"security\":\"tls\",\"status\":\"error\",\"error\":\"The certificate is not "
            "trusted: it is self-signed\",\"messages\":null,\"size\":null,\"unwanted\":[]}"
            "]}\n",
        MaskUidls(out_.str()));
    EXPECT_EQ("", err_.str());
    EXPECT_EQ(before, Snapshot());
}

TEST_F(HeadlessCheckTest, TextBlocksAndExitCodes) {
    WriteData({{"Scanning", "alice@localhost", "s3cret", 1, server_->TlsPort(), 1}});
    const std::string passphraseFile = dir_ + "/passphrase";
    EXPECT_EQ(HeadlessCheck::kAllChecked, Check({"--passphrase-file", passphraseFile.c_str()}));
    EXPECT_EQ(
        "Scanning\n"
        "  Host:     localhost\n"
        "  Port:     " +
            std::to_string(server_->TlsPort()) +
            "\n"
            "  Security: SSL/TLS\n"
            "  Status:   OK\n"
            "  Messages: 2 (" +
            std::to_string(kWanted.size() + kSpam.size()) +
            " bytes)\n"
            "  Unwanted: 1\n"
            "    2  score -30\n"
            "      From: win@lottery.example\n"
            "      Subject: You won\n"
            "      Date: Mon, 7 Dec 2026 06:00:00 +0000\n"
            "      Block: Subject: contains \"won\", weight 30\n",
        out_.str());

    // A wrong passphrase is an error, never an empty result.
    std::ofstream(passphraseFile) << "not it\n";
    EXPECT_EQ(HeadlessCheck::kUsageError, Check({"--passphrase-file", passphraseFile.c_str()}));
    EXPECT_EQ("", out_.str());
    EXPECT_NE(std::string::npos, err_.str().find("The passphrase is incorrect."));

    EXPECT_EQ(HeadlessCheck::kUsageError, Check({"--jsn"}));
    EXPECT_EQ(HeadlessCheck::kUsageError, Check({"--data-dir"}));
    EXPECT_EQ(HeadlessCheck::kUsageError,
              Check({"--data-dir", "/nonexistent", "--passphrase-file", passphraseFile.c_str()}));
    EXPECT_EQ(HeadlessCheck::kUsageError,
              Check({"--passphrase-file", (dir_ + "/missing").c_str()}));
}

// A data file that cannot be read fails the check instead of passing for one without
// accounts or rules; the server's control bytes never reach the terminal raw; the
// passphrase file's line is trimmed as the window trims a typed passphrase.
TEST_F(HeadlessCheckTest, RefusesUnreadableDataAndEscapesTheServersBytes) {
    WriteData({{"Hostile", "mallory@localhost", "s3cret", 1, server_->TlsPort(), 1}});
    const std::string passphraseFile = dir_ + "/passphrase";
    std::ofstream(passphraseFile) << " " << kPassphrase << " \t\r\n";
    const std::vector<const char*> args = {"--passphrase-file", passphraseFile.c_str()};
    EXPECT_EQ(HeadlessCheck::kAllChecked, Check(args)) << err_.str();
    EXPECT_NE(std::string::npos,
              out_.str().find("      From: \\x1b[2Jmallory@example.org\n"
                              "      Subject: You won\\x08\\x08\\x1b]0;x\\x07 \\xc2\\x9b1m\n"))
        << out_.str();
    EXPECT_EQ(std::string::npos, out_.str().find('\x1b'));

    const std::string email = dir_ + "/email.qvd";
    const std::string friends = dir_ + "/friends.qvd";
    fs::rename(email, dir_ + "/email.kept");
    fs::create_directory(email);
    EXPECT_EQ(HeadlessCheck::kUsageError, Check(args));
    EXPECT_EQ("", out_.str());
    EXPECT_EQ("quorvane: cannot read " + email + ": it is a directory\n", err_.str());
    fs::remove(email);
    fs::rename(dir_ + "/email.kept", email);

    // A FIFO is refused at once, never waited on.
    ASSERT_EQ(0, mkfifo(friends.c_str(), 0600));
    EXPECT_EQ(HeadlessCheck::kUsageError, Check(args));
    EXPECT_EQ("quorvane: cannot read " + friends + ": it is not a regular file\n", err_.str());
    fs::remove(friends);

    // Mode 000: root reads it all the same, so the check runs as nobody then.
    ASSERT_EQ(0, chmod(email.c_str(), 0));
    ASSERT_EQ(0, chmod(dir_.c_str(), 0755));
    ASSERT_EQ(0, chmod(passphraseFile.c_str(), 0644));
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(99);
        }
        const int code = Check(args);
        const std::string said = err_.str();
        [[maybe_unused]] const ssize_t n = write(pipeEnds[1], said.data(), said.size());
        _exit(code);
    }
    close(pipeEnds[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
        said.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(HeadlessCheck::kUsageError, WEXITSTATUS(status));
    EXPECT_EQ("quorvane: cannot read " + email + ": Permission denied\n", said);
}

// The second check finds every header in the kept file the first one wrote and sends
// no TOP; its output is the same.
TEST_F(HeadlessCheckTest, ASecondCheckFetchesNothing) {
    WriteData({{"Scanning", "alice@127.0.0.1", "s3cret", 2, server_->Port(), 1}});
    const std::string passphraseFile = dir_ + "/passphrase";
    auto tops = [](int sessions) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            std::istringstream lines(server_->Log());
            int ended = 0;
            int sent = 0;
            for (std::string line; std::getline(lines, line);) {
                const std::size_t at = line.find("pop3(alice)");
                const std::size_t count = line.find("Logged out top=", at);
                if (at != std::string::npos && count != std::string::npos) {
                    ++ended;
                    sent += std::stoi(line.substr(count + 15));
                }
            }
            if (ended >= sessions || std::chrono::steady_clock::now() > deadline) {
                return std::make_pair(ended, sent);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };
    const auto before = tops(0);
    const std::vector<const char*> args = {"--data-dir", dir_.c_str(), "--passphrase-file",
                                           passphraseFile.c_str()};
    EXPECT_EQ(HeadlessCheck::kAllChecked, Check(args));
    const std::string first = out_.str();
    const auto once = tops(before.first + 1);
    EXPECT_EQ(once.second - before.second, 2);
    EXPECT_TRUE(fs::exists(dir_ + "/" + KeptFile::kFileName));
    EXPECT_EQ(HeadlessCheck::kAllChecked, Check(args));
    EXPECT_EQ(first, out_.str());
    const auto twice = tops(once.first + 1);
    EXPECT_EQ(twice.first, once.first + 1);
    EXPECT_EQ(twice.second, once.second) << "the second check sent TOP";
}

TEST(JsonText, BytesThatAreNotUtf8AreEscapedNeverDropped) {
    EXPECT_EQ("\"a\\\"b\\\\c\\u000a\"", JsonString("a\"b\\c\n"));
    EXPECT_EQ("\"Andr\xc3\xa9 \xf0\x9f\x93\xa7\"", JsonString("Andr\xc3\xa9 \xf0\x9f\x93\xa7"));
    // Latin-1, a cut sequence, an overlong form and an encoded surrogate.
    EXPECT_EQ("\"Andr\\udce9|\\udce2\\udc82|\\udcc0\\udcaf|\\udced\\udca0\\udc80\"",
              JsonString("Andr\xe9|\xe2\x82|\xc0\xaf|\xed\xa0\x80"));
}

#ifdef QV_PROGRAM
// The real program, with no display at all.
TEST_F(HeadlessCheckTest, TheProgramNeedsNoDisplay) {
    WriteData({{"Scanning", "alice@localhost", "s3cret", 1, server_->TlsPort(), 1}});
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                std::string(QV_PROGRAM) + " --check --json --data-dir " + dir_ +
                                " --passphrase-file " + dir_ + "/passphrase > " + dir_ +
                                "/out.json";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    std::ifstream in(dir_ + "/out.json");
    const std::string json(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(0u, json.find("{\"accounts\":[{\"description\":\"Scanning\""));
    EXPECT_NE(std::string::npos, json.find("\"status\":\"ok\""));
}

// Help, the version and a wrong option answer without a display, on the right stream.
TEST_F(HeadlessCheckTest, TheProgramAnswersItsOptionsWithoutADisplay) {
    struct Case {
        const char* options;
        int code;
        const char* out;  // how standard output begins
        const char* err;  // how standard error begins
    };
    const Case cases[] = {
        {"--help", 0, "Usage: quorvane", ""},
        {"--version", 0, "quorvane 0.", ""},
        {"--frobnicate", 2, "", "quorvane: unknown option: --frobnicate\nUsage: quorvane"},
        {"--json", 2, "", "quorvane: unknown option: --json\nUsage: quorvane"},
    };
    for (const Case& c : cases) {
        const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                    std::string(QV_PROGRAM) + " " + c.options + " > " + dir_ +
                                    "/out 2> " + dir_ + "/err";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << c.options;
        EXPECT_EQ(c.code, WEXITSTATUS(status)) << c.options;
        std::ifstream out(dir_ + "/out");
        std::ifstream err(dir_ + "/err");
        const std::string printed(std::istreambuf_iterator<char>(out), {});
        const std::string complained(std::istreambuf_iterator<char>(err), {});
        EXPECT_EQ(0u, printed.rfind(c.out, 0)) << c.options << ": " << printed;
        EXPECT_EQ(0u, complained.rfind(c.err, 0)) << c.options << ": " << complained;
        EXPECT_EQ(*c.out == '\0', printed.empty()) << c.options;
        EXPECT_EQ(*c.err == '\0', complained.empty()) << c.options;
    }
}
#endif

}  // namespace
