#include "scan/quarantine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "scan/header_fields.h"

namespace {

constexpr long kSecondsPerDay = 24L * 60 * 60;
// What a write cut short leaves in tmp is older than any write under way.
constexpr long kStaleTmpSeconds = 36L * 60 * 60;
// The header of a listed copy is read up to this many bytes.
constexpr std::size_t kListedHeaderBytes = std::size_t{64} << 10;
constexpr char kSubfolders[][4] = {"tmp", "new", "cur"};

std::atomic<unsigned> writeCounter{0};

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// `made` is raised when the folder is new: its entry in the parent must then reach
// the disk too, or a copy inside it could vanish with a power cut after the deletion.
bool MakeFolder(const std::string& path, bool& made) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        made = true;
        return true;
    }
    return errno == EEXIST;
}

bool SyncPath(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

std::string Hex(const std::string& text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : text) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

std::string Unhex(std::string_view hex) {
    std::string text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        unsigned char c = 0;
        if (HexPairValue(hex[i], hex[i + 1], c) != 0) {
            return {};
        }
        text += static_cast<char>(c);
    }
    return text;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The time a copy was written: its name's leading digits, else the file's own time.
std::time_t WrittenAt(const std::string& folder, const std::string& name) {
    std::time_t at = 0;
    std::size_t i = 0;
    for (; i < name.size() && i < 12 && name[i] >= '0' && name[i] <= '9'; ++i) {
        at = at * 10 + (name[i] - '0');
    }
    if (i > 0 && i < name.size() && name[i] == '.') {
        return at;
    }
    struct stat info {};
    return ::stat((folder + "/" + name).c_str(), &info) == 0 ? info.st_mtime : 0;
}

std::string NamePart(const std::string& name, std::string_view key) {
    const std::size_t info = name.find(':');
    const std::string_view base = std::string_view(name).substr(0, info);
    const std::size_t at = base.find(key);
    if (at == std::string_view::npos) {
        return {};
    }
    const std::string_view value = base.substr(at + key.size());
    return std::string(value.substr(0, value.find(',')));
}

std::string ReadHeader(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(kListedHeaderBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    const std::size_t end = text.find("\r\n\r\n");
    if (end != std::string::npos) {
        text.resize(end + 2);
    }
    return text;
}

}  // namespace

std::string Quarantine::FolderName(const std::string& account) {
    std::string name = account.empty() ? std::string("_") : account;
    std::replace(name.begin(), name.end(), '/', '_');
    if (name[0] == '.') {
        name[0] = '_';
    }
    return name;
}

std::string Quarantine::RootOf(const std::string& dataDirectory) {
    std::string root = dataDirectory;
    if (!root.empty() && root.back() != '/') {
        root += '/';
    }
    return root + "quarantine";
}

Quarantine::Quarantine(const std::string& dataDirectory, const std::string& account)
    : folder_(RootOf(dataDirectory) + "/" + FolderName(account)) {}

bool Quarantine::MakeFolders(std::string& why) const {
    const std::string root = folder_.substr(0, folder_.rfind('/'));
    bool made = false;
    bool ok = MakeFolder(root, made) && MakeFolder(folder_, made);
    for (const char* sub : kSubfolders) {
        ok = ok && MakeFolder(folder_ + "/" + sub, made);
    }
    if (ok && made) {
        const std::string data = root.substr(0, root.rfind('/'));
        ok = SyncPath(folder_) && SyncPath(root) && SyncPath(data.empty() ? "/" : data);
    }
    if (!ok) {
        why = ErrnoText("the quarantine folder cannot be made");
    }
    return ok;
}

bool Quarantine::Keep(const std::string& bytes, const std::string& uidl, int score, std::time_t now,
                      std::string& path, std::string& why) {
    if (!MakeFolders(why)) {
        return false;
    }
    std::string name;
    int fd = -1;
    // O_EXCL: a name another run chose in the same second is never overwritten.
    while (fd < 0) {
        name = std::to_string(static_cast<long long>(now)) + ".P" + std::to_string(::getpid()) +
               "Q" + std::to_string(writeCounter++) + ".quorvane,uid=" + Hex(uidl) +
               ",score=" + std::to_string(score);
        fd = ::open((folder_ + "/tmp/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    0600);
        if (fd < 0 && errno != EEXIST) {
            why = ErrnoText("the copy cannot be written");
            return false;
        }
    }
    const std::string temporary = folder_ + "/tmp/" + name;
    const std::string kept = folder_ + "/cur/" + name + ":2,S";
    bool written = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) {
        why = ErrnoText("the copy cannot be written");
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), kept.c_str()) != 0) {
        why = ErrnoText("the copy cannot be stored");
        ::unlink(temporary.c_str());
        return false;
    }
    if (!SyncPath(folder_ + "/cur")) {
        why = ErrnoText("the copy cannot be stored");
        ::unlink(kept.c_str());
        return false;
    }
    path = kept;
    return true;
}

void Quarantine::Discard(const std::string& path) {
    ::unlink(path.c_str());
}

std::vector<QuarantinedMessage> Quarantine::List() const {
    std::vector<QuarantinedMessage> list;
    const std::string cur = folder_ + "/cur";
    for (const std::string& name : Entries(cur)) {
        QuarantinedMessage message;
        message.path = cur + "/" + name;
        message.uidl = Unhex(NamePart(name, ",uid="));
        message.score = std::atoi(NamePart(name, ",score=").c_str());
        message.deletedAt = WrittenAt(cur, name);
        const std::string header = ReadHeader(message.path);
        message.from = HeaderFieldValue(header, "From:");
        message.subject = HeaderFieldValue(header, "Subject:");
        message.date = HeaderFieldValue(header, "Date:");
        list.push_back(std::move(message));
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const auto& a, const auto& b) { return a.deletedAt < b.deletedAt; });
    return list;
}

int Quarantine::Expire(const std::string& dataDirectory, std::time_t now, int days) {
    const std::string root = RootOf(dataDirectory);
    int removed = 0;
    for (const std::string& account : Entries(root)) {
        for (const char* sub : kSubfolders) {
            const std::string folder = root + "/" + account + "/" + sub;
            const long keep = std::strcmp(sub, "tmp") == 0
                                  ? kStaleTmpSeconds
                                  : static_cast<long>(days) * kSecondsPerDay;
            for (const std::string& name : Entries(folder)) {
                if (now - WrittenAt(folder, name) > keep &&
                    ::unlink((folder + "/" + name).c_str()) == 0) {
                    ++removed;
                }
            }
        }
    }
    return removed;
}
