#include "scan/scan_cache.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>

#include "store/atomic_file.h"

namespace {

constexpr char kMagic[] = "quorvane-cache 1";

// Enough to tell a torn or edited file; the library checks a database further.
std::uint64_t Digest(const std::string& data) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : data) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    return hash;
}

std::string Header(const std::string& key, const std::string& body) {
    return std::string(kMagic) + "\n" + key + "\n" + std::to_string(body.size()) + " " +
           std::to_string(Digest(body)) + "\n";
}

// The cache is a convenience: a failed save must not put a box in the user's way.
class QuietPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string&) override { return false; }
    void ShowNotice(const std::string&) override {}
};

bool MakeDirectory(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

}  // namespace

std::string ScanCache::Directory() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache != nullptr && cache[0] == '/') {
        return std::string(cache) + "/quorvane";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.cache/quorvane";
    }
    return {};
}

std::optional<std::string> ScanCache::Read(const std::string& name, const std::string& key) {
    const std::string directory = Directory();
    if (directory.empty()) {
        return std::nullopt;
    }
    std::ifstream in(directory + "/" + name, std::ios::binary);
    std::string magic, fileKey, sizeAndDigest;
    if (!std::getline(in, magic) || magic != kMagic || !std::getline(in, fileKey) ||
        fileKey != key || !std::getline(in, sizeAndDigest)) {
        return std::nullopt;
    }
    const std::streampos start = in.tellg();
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg() - start;
    in.seekg(start);
    std::string body(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (!in.read(body.data(), static_cast<std::streamsize>(body.size()))) {
        return std::nullopt;
    }
    if (Header(key, body) != std::string(kMagic) + "\n" + key + "\n" + sizeAndDigest + "\n") {
        return std::nullopt;
    }
    return body;
}

void ScanCache::Write(const std::string& name, const std::string& key, const std::string& body) {
    const std::string directory = Directory();
    if (directory.empty() || key.find('\n') != std::string::npos || !MakeDirectory(directory)) {
        return;
    }
    QuietPrompts quiet;
    (void)AtomicFile::Replace(directory + "/" + name, Header(key, body) + body, quiet);
}
