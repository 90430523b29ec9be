#pragma once

#include <array>
#include <optional>
#include <string>

#include "store/rule_list_file.h"

// The two rule lists as last decoded, kept between runs in the per-user cache
// directory so that a start need not decrypt every rule line again. The file is
// sealed with AES-256-GCM under the key the kept file derives from the passphrase
// (KeptFile::SharedKey), so it costs no derivation of its own and holds nothing in
// plain. It is used only while the digests of both rule files match those it records;
// a missing, damaged, stale or foreign file (another passphrase fails the tag) is
// passed over: it only costs the decrypting it would have saved.
class RuleCache {
  public:
    using Digest = std::array<unsigned char, 32>;

    // SHA-256 of a rule file as read: whether it was there, then its bytes.
    static Digest DigestOf(bool present, const std::string& content);

    // The lists recorded for files with these digests, or nothing.
    static std::optional<RuleFiles> Read(const AppState& state, const Digest& friends,
                                         const Digest& block);

    // Records `files` as what files with these digests hold. Failures are silent.
    static void Write(const AppState& state, const Digest& friends, const Digest& block,
                      const RuleFiles& files);
};
