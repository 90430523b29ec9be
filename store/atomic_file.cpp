#include "store/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// mkstemp's six letters follow this.
constexpr char kTempSuffix[] = ".tmp.";
constexpr std::size_t kTempLetters = 6;
// As many links as the system itself follows before it calls the chain a loop.
constexpr int kMaxLinkHops = 40;

AtomicFile::BeforeRenameHook& Hook() {
    static AtomicFile::BeforeRenameHook hook;
    return hook;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates the temporary file (mode 0600: the files hold passwords) and writes the
// content through to the disk. Fills `tempPath` as soon as the file exists.
bool WriteTemporary(const std::string& path, const std::string& content, std::string& tempPath) {
    std::vector<char> name(path.begin(), path.end());
    const std::string suffix = std::string(kTempSuffix) + std::string(kTempLetters, 'X');
    name.insert(name.end(), suffix.begin(), suffix.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        return false;
    }
    tempPath = name.data();
    const bool written = WriteAll(fd, content) && ::fsync(fd) == 0;
    return ::close(fd) == 0 && written;
}

// Makes the rename itself durable. A failure here no longer endangers the old data,
// so it is not reported.
void SyncDirectory(const std::string& path) {
    const int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The file a save replaces: `path` itself, or the file its chain of symbolic links
// ends at, so that the links stay and the file they name is the one brought up to
// date. Empty for a chain that loops.
std::string SaveTarget(const std::string& path) {
    fs::path target(path);
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(target, error))) {
            return target.string();
        }
        const fs::path next = fs::read_symlink(target, error);
        if (error) {
            return target.string();  // the rename then reports what is wrong
        }
        target = next.is_relative() ? target.parent_path() / next : next;
    }
    return {};
}

bool IsTemporaryOf(const std::string& name, const std::string& base) {
    const std::string prefix = base + kTempSuffix;
    return name.size() == prefix.size() + kTempLetters && name.starts_with(prefix) &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0; });
}

// Removes the temporary files that saves of `path` killed before their rename left
// behind. Only regular files named exactly as a save names them are touched.
void RemoveStaleTemporaries(const std::string& path) {
    const fs::path file(path);
    const std::string base = file.filename().string();
    const fs::path directory = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::error_code error;
    std::vector<fs::path> stale;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code ignored;
        if (IsTemporaryOf(entry->path().filename().string(), base) &&
            entry->is_regular_file(ignored) && !entry->is_symlink(ignored)) {
            stale.push_back(entry->path());
        }
    }
    for (const fs::path& temporary : stale) {
        fs::remove(temporary, error);
    }
}

}  // namespace

bool AtomicFile::Replace(const std::string& linkOrPath, const std::string& content,
                         UserPrompts& prompts) {
    const std::string path = SaveTarget(linkOrPath);
    std::string tempPath;
    bool saved = !path.empty() && WriteTemporary(path, content, tempPath);
    if (saved && Hook()) {
        saved = Hook()(tempPath);
    }
    saved = saved && std::rename(tempPath.c_str(), path.c_str()) == 0;
    if (!saved) {
        if (!tempPath.empty()) {
            ::unlink(tempPath.c_str());
        }
        prompts.ShowNotice(FailureNotice(linkOrPath));
        return false;
    }
    SyncDirectory(path);
    RemoveStaleTemporaries(path);
    return true;
}

void AtomicFile::SetBeforeRenameHook(BeforeRenameHook hook) {
    Hook() = std::move(hook);
}

std::string AtomicFile::FailureNotice(const std::string& path) {
    return "The file could not be saved: " + path;
}
