#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// One message's header block as fetched in this run, and how it was last judged.
struct KeptMessage {
    std::string uidl;
    std::string headerBlock;         // as the server sent it (TOP n 0), before decoding
    std::uint64_t rulesVersion = 0;  // the rule table the verdict below came from
    int score = 0;
    std::vector<int> firedRules;    // indices into that rule table
    std::vector<int> limitedRules;  // rules that needed too many steps, same table
    // The id of the account it was fetched for; filled in by Snapshot, which mixes
    // accounts.
    std::uint32_t account = 0;
};

// The header blocks of every account fetched in this run, by account id and unique
// id, so a later check fetches only what is new. Their bytes are bounded: past the bound the blocks
// used least recently are forgotten (and fetched again when needed). Thread-safe.
class KeptHeaders {
  public:
    static constexpr std::size_t kDefaultByteLimit = std::size_t{64} << 20;

    explicit KeptHeaders(std::size_t byteLimit = kDefaultByteLimit);
    KeptHeaders(const KeptHeaders&) = delete;
    KeptHeaders& operator=(const KeptHeaders&) = delete;

    void SetByteLimit(std::size_t byteLimit);
    // A copy of the kept message, marked as just used; false when it is not kept.
    bool Find(std::uint32_t account, const std::string& uidl, KeptMessage& out);
    // Keeps (or replaces) one message, then forgets the oldest past the bound.
    void Keep(std::uint32_t account, KeptMessage message);
    // Forgets the account's messages whose ids are not in `onServer`.
    void Retain(std::uint32_t account, const std::vector<std::string>& onServer);
    // Forgets an account's messages.
    void RemoveAccount(std::uint32_t account);
    // Copies of every kept message of every account, for the rule preview.
    std::vector<KeptMessage> Snapshot() const;
    std::size_t Bytes() const;
    // Counts every change to what is kept (not a mere use), so a save can tell whether
    // the kept file still holds all of it.
    std::uint64_t Changes() const;
    // What Changes() was when the kept file last matched the memory.
    std::uint64_t SavedChanges() const;
    void NoteSaved(std::uint64_t changes);

  private:
    struct Key {
        std::uint32_t account;
        std::string uidl;
    };
    struct Entry {
        KeptMessage message;
        std::list<Key>::iterator age;
    };
    using AccountMessages = std::unordered_map<std::string, Entry>;

    static std::size_t Weight(const KeptMessage& message);
    void Forget(std::uint32_t account, AccountMessages::iterator found);
    void ForgetOldest();

    mutable std::mutex mutex_;
    std::size_t byteLimit_;
    std::size_t bytes_ = 0;
    std::uint64_t changes_ = 0;
    std::uint64_t savedChanges_ = 0;
    std::unordered_map<std::uint32_t, AccountMessages> accounts_;
    std::list<Key> ages_;  // the least recently used first
};
