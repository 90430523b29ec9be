#pragma once

#include <iosfwd>

// What the command line asks for. Help, the version and a refused option are answered
// before any Qt application exists, so they work without a display.
enum class Command { kWindow, kCheck, kHelp, kVersion, kUnknownOption };

class CommandLine {
  public:
    static Command Of(int argc, const char* const* argv);
    // Each returns the exit code.
    static int PrintHelp(std::ostream& out);
    static int PrintVersion(std::ostream& out);
    static int RefuseOption(int argc, const char* const* argv, std::ostream& err);
};
