#include "app/command_line.h"

#include <cstring>
#include <ostream>
#include <string_view>

#include "app/headless_check.h"

namespace {

constexpr char kUsage[] =
    "Usage: quorvane                 start the desktop program\n"
    "       quorvane --check [--json] [--no-delete] [--data-dir DIR] [--passphrase-file FILE]\n"
    "                                check every account once and print what it found\n"
    "       quorvane --help          show this text\n"
    "       quorvane --version       show the version\n";

// Single-dash options stay Qt's own (-platform, -style ...), as they always were.
bool IsOurOption(std::string_view arg) {
    return arg.size() > 2 && arg.substr(0, 2) == "--";
}

}  // namespace

Command CommandLine::Of(int argc, const char* const* argv) {
    if (HeadlessCheck::Requested(argc, argv)) {
        return Command::kCheck;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return Command::kHelp;
        }
        if (arg == "--version") {
            return Command::kVersion;
        }
        if (IsOurOption(arg)) {
            return Command::kUnknownOption;
        }
    }
    return Command::kWindow;
}

int CommandLine::PrintHelp(std::ostream& out) {
    out << kUsage;
    return 0;
}

int CommandLine::PrintVersion(std::ostream& out) {
    out << "quorvane " << QV_VERSION << "\n";
    return 0;
}

int CommandLine::RefuseOption(int argc, const char* const* argv, std::ostream& err) {
    for (int i = 1; i < argc; ++i) {
        if (IsOurOption(argv[i])) {
            err << "quorvane: unknown option: " << argv[i] << "\n";
            break;
        }
    }
    err << kUsage;
    return HeadlessCheck::kUsageError;
}
