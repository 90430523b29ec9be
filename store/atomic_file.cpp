#include "store/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

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
    const std::string suffix = ".tmp.XXXXXX";
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

}  // namespace

bool AtomicFile::Replace(const std::string& path, const std::string& content,
                         UserPrompts& prompts) {
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
        prompts.ShowNotice(FailureNotice(path));
        return false;
    }
    SyncDirectory(path);
    return true;
}

void AtomicFile::SetBeforeRenameHook(BeforeRenameHook hook) {
    Hook() = std::move(hook);
}

std::string AtomicFile::FailureNotice(const std::string& path) {
    return "The file could not be saved: " + path;
}
