#include "tests/support/dovecot_server.h"

#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace qvtest {
namespace fs = std::filesystem;

namespace {

struct Identity {
    std::string name;
    uid_t uid;
    gid_t gid;
};

// Dovecot will not run its login processes or mail access as root: a root test run
// hands both to "nobody". An ordinary user runs everything as itself.
Identity MailIdentity() {
    const passwd* pw = getpwuid(geteuid());
    if (geteuid() == 0) {
        pw = getpwnam("nobody");
    }
    if (pw == nullptr) {
        return {"nobody", 65534, 65534};
    }
    return {pw->pw_name, pw->pw_uid, pw->pw_gid};
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// One connection attempt: true when the server greets with "+OK" and `greeting`. The
// greeting tells this instance from another test's server that took the port first.
bool Greets(int port, const std::string& greeting) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        pollfd p{fd, POLLIN, 0};
        std::string line;
        char c = 0;
        while (line.size() < 512 && poll(&p, 1, 2000) == 1 && recv(fd, &c, 1, 0) == 1 &&
               c != '\n') {
            line += c;
        }
        ok = line.rfind("+OK " + greeting, 0) == 0;
        if (ok) {
            send(fd, "QUIT\r\n", 6, MSG_NOSIGNAL);
        }
    }
    close(fd);
    return ok;
}

}  // namespace

DovecotServer::DovecotServer() {
    char tmpl[] = "/tmp/qv-dovecot.XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
        dir_ = tmpl;
        // The unprivileged login and mail processes must be able to reach their files.
        chmod(dir_.c_str(), 0755);
        fs::create_directories(dir_ + "/mail");
        chown((dir_ + "/mail").c_str(), MailIdentity().uid, MailIdentity().gid);
        WritePasswd();
    }
}

DovecotServer::~DovecotServer() {
    Stop();
    if (!dir_.empty()) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

std::string DovecotServer::MaildirOf(const std::string& user) const {
    return dir_ + "/mail/" + user + "/Maildir";
}

void DovecotServer::WritePasswd() const {
    std::string text;
    for (const auto& [name, password] : passwords_) {
        text += name + ":{PLAIN}" + password + "\n";
    }
    WriteFile(dir_ + "/passwd", text);
}

void DovecotServer::AddUser(const std::string& name, const std::string& password,
                            const std::vector<std::string>& messages) {
    passwords_[name] = password;
    WritePasswd();
    if (pid_ > 0) {
        // Dovecot looks at the passwd-file at most once a second: a login within the
        // second of the last one would not find the new user yet.
        const auto now = std::chrono::system_clock::now();
        std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(now) +
                                      std::chrono::milliseconds(20));
    }
    const fs::path maildir = MaildirOf(name);
    for (const char* sub : {"cur", "new", "tmp"}) {
        fs::create_directories(maildir / sub);
    }
    // Fixed-width increasing time stamps: Dovecot numbers new files in that order.
    int& n = messageCount_[name];
    for (const std::string& message : messages) {
        ++n;
        char file[64];
        std::snprintf(file, sizeof file, "%010d.M%dP1.quorvane:2,", 1000000000 + n, n);
        WriteFile(maildir / "cur" / file, message);
    }
    const Identity id = MailIdentity();
    const fs::path home = fs::path(dir_) / "mail" / name;
    chown(home.c_str(), id.uid, id.gid);
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        chown(entry.path().c_str(), id.uid, id.gid);
    }
}

bool DovecotServer::WriteConfig(int port) {
    const Identity id = MailIdentity();
    const std::string internalUser = geteuid() == 0 ? "root" : id.name;
    const group* gr = getgrgid(geteuid() == 0 ? 0 : id.gid);
    const std::string internalGroup = gr != nullptr ? gr->gr_name : internalUser;
    std::ostringstream conf;
    conf << "base_dir = " << dir_ << "/run\n"
         << "state_dir = " << dir_ << "/state\n"
         << "log_path = " << dir_ << "/log\n"
         << "protocols = pop3\n"
         << "login_greeting = " << Greeting() << "\n"
         << "listen = " << ListenAddresses() << "\n"
         << TlsConfig() << "disable_plaintext_auth = no\n"
         << "auth_mechanisms = plain apop"
         << (introspectionUrl_.empty() ? "" : " xoauth2 oauthbearer") << "\n"
         << "auth_failure_delay = 0\n"
         << "first_valid_uid = 0\n"
         << "first_valid_gid = 0\n"
         << "default_internal_user = " << internalUser << "\n"
         << "default_internal_group = " << internalGroup << "\n"
         << "default_login_user = " << id.name << "\n"
         << "mail_location = maildir:" << dir_ << "/mail/%u/Maildir\n"
         << "pop3_uidl_format = %08Xu%08Xv\n"
         << (lockSessions_ ? "pop3_lock_session = yes\n" : "")
         << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << dir_
         << "/passwd\n}\n"
         << OAuthConfig() << "userdb {\n  driver = static\n  args = uid=" << id.uid
         << " gid=" << id.gid << " home=" << dir_ << "/mail/%u\n}\n"
         << "service pop3-login {\n  chroot =\n"
         << "  inet_listener pop3 {\n    address = " << ListenAddresses() << "\n    port = " << port
         << "\n  }\n"
         << "  inet_listener pop3s {\n    address = " << ListenAddresses()
         << "\n    port = " << tlsPort_ << (tlsPort_ != 0 ? "\n    ssl = yes" : "")
         << "\n  }\n}\n"
         // Without the penalty socket repeated failures do not slow every later login.
         << "service anvil {\n  chroot =\n"
         << "  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
    WriteFile(dir_ + "/dovecot.conf", conf.str());
    return true;
}

void DovecotServer::EnableTls(std::map<std::string, Certificate> byAddress) {
    certificates_ = std::move(byAddress);
}

void DovecotServer::EnableOAuth(const std::string& introspectionUrl) {
    introspectionUrl_ = introspectionUrl;
}

// A second passdb for the token mechanisms: the passwd-file one cannot judge a token.
std::string DovecotServer::OAuthConfig() const {
    if (introspectionUrl_.empty()) {
        return {};
    }
    WriteFile(dir_ + "/oauth2.conf.ext", "introspection_url = " + introspectionUrl_ +
                                             "\nintrospection_mode = post\n"
                                             "username_attribute = username\n"
                                             "active_attribute = active\n"
                                             "active_value = true\n"
                                             "force_introspection = yes\n");
    return "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = " + dir_ +
           "/oauth2.conf.ext\n}\n";
}

std::string DovecotServer::ListenAddresses() const {
    std::string addresses = "127.0.0.1";
    for (const auto& [address, certificate] : certificates_) {
        if (address != "127.0.0.1") {
            addresses += " " + address;
        }
    }
    return addresses;
}

// Each address other than 127.0.0.1 gets its certificate through a "local" block.
std::string DovecotServer::TlsConfig() const {
    const auto main = certificates_.find("127.0.0.1");
    if (main == certificates_.end()) {
        return "ssl = no\n";
    }
    std::ostringstream conf;
    conf << "ssl = required\nssl_min_protocol = TLSv1.2\n"
         << "ssl_cert = <" << main->second.certFile << "\nssl_key = <" << main->second.keyFile
         << "\n";
    for (const auto& [address, certificate] : certificates_) {
        if (address != "127.0.0.1") {
            conf << "local " << address << " {\n  ssl_cert = <" << certificate.certFile
                 << "\n  ssl_key = <" << certificate.keyFile << "\n}\n";
        }
    }
    return conf.str();
}

bool DovecotServer::Start(int port) {
    if (pid_ > 0) {
        return true;
    }
    if (dir_.empty()) {
        error_ = "no temporary directory";
        return false;
    }
    if (access(kBinary, X_OK) != 0) {
        error_ = std::string(kBinary) + " is missing: install dovecot-core and dovecot-pop3d";
        return false;
    }
    // A port found free may be taken before Dovecot binds it: try a few.
    for (int attempt = 0; attempt < (port != 0 ? 1 : 3); ++attempt) {
        port_ = port != 0 ? port : ClosedLoopbackPort();
        tlsPort_ = certificates_.empty() ? 0 : ClosedLoopbackPort();
        WriteConfig(port_);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        const std::string out = dir_ + "/stderr";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const std::string conf = dir_ + "/dovecot.conf";
        std::vector<char*> argv = {const_cast<char*>(kBinary), const_cast<char*>("-F"),
                                   const_cast<char*>("-c"), const_cast<char*>(conf.c_str()),
                                   nullptr};
        const int rc = posix_spawn(&pid_, kBinary, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            error_ = "cannot start " + std::string(kBinary);
            return false;
        }
        if (WaitForGreeting()) {
            return true;
        }
        Stop();
    }
    return false;
}

bool DovecotServer::WaitForGreeting() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "dovecot exited at start-up:\n" + ReadFile(dir_ + "/stderr") + Log();
            return false;
        }
        if (Greets(port_, Greeting())) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "dovecot did not greet within 10 s:\n" + ReadFile(dir_ + "/stderr") + Log();
    return false;
}

void DovecotServer::Stop() {
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
}

std::string DovecotServer::Greeting() const {
    return "Quorvane test server " + fs::path(dir_).filename().string();
}

std::string DovecotServer::Log() const {
    return ReadFile(dir_ + "/log");
}

DovecotServer::Snapshot DovecotServer::MailboxSnapshot(const std::string& user) const {
    Snapshot snapshot;
    const fs::path maildir = MaildirOf(user);
    for (const char* sub : {"cur", "new", "tmp"}) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(maildir / sub, ec)) {
            snapshot[std::string(sub) + "/" + entry.path().filename().string()] =
                ReadFile(entry.path());
        }
    }
    return snapshot;
}

}  // namespace qvtest
