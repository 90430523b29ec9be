#include "tests/support/test_fixtures.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace qvtest {

namespace fs = std::filesystem;

AccountRecord MakeAccount(const std::string& address, const std::string& password,
                          const AccountOptions& options) {
    AccountRecord record{};
    SetAccountText(record.description, options.description.value_or(address));
    SetAccountText(record.address, address);
    SetAccountText(record.password, password);
    record.authMethod = options.authMethod;
    record.scanMessages = options.scanMessages;
    record.periodMinutes = options.periodMinutes;
    return record;
}

TempDirectory::TempDirectory() {
    std::string pattern = (fs::temp_directory_path() / "qv-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw fs::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
    }
    path_ = pattern + '/';
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    // A test may have taken the owner's rights away to make saves fail.
    fs::permissions(path_, fs::perms::owner_all, ignored);
    fs::remove_all(path_, ignored);
}

void TempDirectory::UseFor(AppState& state) const {
    SetDataDirectory(state, path_ + "quorvane");
}

}  // namespace qvtest
