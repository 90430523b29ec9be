#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStyleFactory>
#include <iostream>

#include "app/app_state.h"
#include "app/command_line.h"
#include "app/headless_check.h"
#include "app/oauth_token_source.h"
#include "app/quorvane_app.h"
#include "app/sign_in_command.h"
#include "ui/resources.h"
#include "ui/user_options.h"

namespace {
// Where the desktop program would keep its files, found without creating or probing
// anything: the headless check writes nothing.
std::string CheckDataDirectory() {
    const QString programDir = QFileInfo(QCoreApplication::applicationFilePath()).absolutePath();
    const QDir dir(programDir);
    const bool holdsFiles = dir.exists(QStringLiteral("email.qvd")) ||
                            dir.exists(QStringLiteral("friends.qvd")) ||
                            dir.exists(QStringLiteral("block.qvd"));
    const QString chosen = holdsFiles || QFileInfo(programDir).isWritable()
                               ? programDir
                               : QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return chosen.toLocal8Bit().toStdString();
}

// No display is needed: only the core application object of Qt, for the paths.
int RunHeadlessCheck(int argc, char* argv[]) {
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane"));
    // As many accounts at once as the window checks.
    ScanWorkerSettings settings;
    settings.parallelChecks = UserOptions::ParallelChecks();
    HeadlessCheck check(ProcessAppState(), std::cout, std::cerr, settings);
    check.SetAccessTokens(std::make_shared<OAuthTokenSource>(ProcessAppState()));
    return check.Run(argc, argv, CheckDataDirectory());
}

int RunSignIn(int argc, char* argv[]) {
    QCoreApplication core(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvane"));
    SignInCommand command(ProcessAppState(), std::cout, std::cerr);
    return command.Run(argc, argv, CheckDataDirectory());
}
}  // namespace

int main(int argc, char* argv[]) {
    switch (CommandLine::Of(argc, argv)) {
        case Command::kCheck:
            return RunHeadlessCheck(argc, argv);
        case Command::kHelp:
            return CommandLine::PrintHelp(std::cout);
        case Command::kVersion:
            return CommandLine::PrintVersion(std::cout);
        case Command::kUnknownOption:
            return CommandLine::RefuseOption(argc, argv, std::cerr);
        case Command::kWindow:
            break;
    }
    if (SignInCommand::Requested(argc, argv)) {
        return RunSignIn(argc, argv);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(ProgramIcon());
    QuorvaneApp quorvane(ProcessAppState(), QuorvaneApp::DefaultOptions());
    return quorvane.Run();
}
