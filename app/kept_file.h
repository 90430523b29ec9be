#pragma once

#include <array>
#include <cstddef>
#include <string>

class AppState;

// The kept header blocks and their verdicts on disk ("seen.qvk" in the data
// directory), so a restart fetches only what is new. It is a cache: any file that
// does not open under this passphrase is ignored and replaced at the next save, and
// nothing about it ever reaches the user. The file's layout is at the top of
// kept_file.cpp.
class KeptFile {
  public:
    static constexpr char kFileName[] = "seen.qvk";
    // Files past this size are refused unread: a kept file holds at most 64 MiB of
    // blocks, so anything this large was not written by Quorvane, and reading it would
    // take several times its size in memory.
    static constexpr std::size_t kLargestFile = std::size_t{256} << 20;

    static std::string PathIn(const AppState& state);

    // Adds the file's blocks to `state.kept`, each to every account whose login,
    // server, port and security match; blocks of accounts that are gone are dropped.
    // Returns how many blocks were read (0 for a missing or unusable file).
    static std::size_t Load(AppState& state);

    // Writes what is kept, atomically, when it changed since the last load or save.
    // Never tells the user; false when the write failed (the old file then stays).
    [[nodiscard]] static bool SaveIfChanged(AppState& state);
    [[nodiscard]] static bool Save(AppState& state);

    // The key this run derives for the kept file, from the salt of the file on disk,
    // for other files kept encrypted between runs: the derivation is shared with Load,
    // so a caller pays for none that the run would not pay anyway. False when there is
    // no kept file to take the salt from.
    [[nodiscard]] static bool SharedKey(const AppState& state, std::array<unsigned char, 32>& key);

    // Drops the key derived in this run, as a new run starts without one; for the
    // benchmark that times a load.
    static void ForgetKey();
};
