#pragma once

#include <functional>
#include <string>

#include "store/user_prompts.h"

// Replaces a data file whole without a window in which it is lost: the new content
// goes to a temporary file in the same directory, reaches the disk, and is renamed
// over the old file. Until the rename the old file is untouched. A path that is a
// symbolic link is written through: the link stays and the file it names is replaced,
// in that file's own directory. Temporary files that a killed save left behind are
// removed by the next successful save of the same file.
class AtomicFile {
  public:
    // On failure the old file stays as it was, the temporary file is removed, the
    // user is told through `prompts`, and the result is false.
    static bool Replace(const std::string& path, const std::string& content, UserPrompts& prompts);

    // Called with the temporary file's path once it is complete on disk, just before
    // the rename. Returning false abandons the save there. Tests use it to stop a
    // save half-way; empty in the program.
    using BeforeRenameHook = std::function<bool(const std::string& tempPath)>;
    static void SetBeforeRenameHook(BeforeRenameHook hook);

    // The text shown when `path` could not be saved.
    static std::string FailureNotice(const std::string& path);
};
