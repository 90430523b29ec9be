#pragma once

#include <optional>
#include <string>

// What the scorer can work out again, at a cost, kept between runs in the per-user
// cache directory ($XDG_CACHE_HOME/quorvane, else ~/.cache/quorvane). Each file
// starts with the key of what it was made for and a digest of its body, so a file
// that is missing, damaged or made for another library or processor reads as absent:
// it only costs the work it would have saved. Never holds rule text or anything a
// user typed in plain: the rule cache (app/rule_cache) seals its lists first.
class ScanCache {
  public:
    // Empty when neither the variable nor a home directory is known.
    static std::string Directory();

    // The body of file `name` when it was written under `key` and is whole.
    static std::optional<std::string> Read(const std::string& name, const std::string& key);

    // Replaces file `name` atomically (mode 0600), making the directory (0700) first.
    // A failure is not reported: the cache only saves time.
    static void Write(const std::string& name, const std::string& key, const std::string& body);
};
