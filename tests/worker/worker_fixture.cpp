#include "worker_fixture.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>

TempDataDirectory::TempDataDirectory(AppState& state) {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-worker-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::filesystem::filesystem_error("mkdtemp",
                                                std::error_code(errno, std::generic_category()));
    }
    path_ = pattern;
    SetDataDirectory(state, path_ + "/quorvane");
}

TempDataDirectory::~TempDataDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::chrono::milliseconds Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}
