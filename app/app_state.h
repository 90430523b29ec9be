#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/kept_headers.h"
#include "scan/check_report.h"
#include "store/rule_list.h"

// Header codes of a rule; the scorer tests their bits, so the values are fixed.
enum HeaderCode : int {
    kHeaderNone = 0,
    kHeaderFrom = 1,
    kHeaderTo = 2,
    kHeaderCc = 3,
    kHeaderContentType = 4,
    kHeaderRecipient = 5,
    kHeaderReplyTo = 6,
    kHeaderReturnPath = 7,
    kHeaderReceived = 8,
    kHeaderSubject = 9,
    kHeaderSender = 10,
    kHeaderMessageId = 11,
    kHeaderAny = 15,
};

constexpr std::size_t kMaxAccounts = 100;
constexpr std::size_t kMaxRules = 2048;
constexpr std::size_t kUnwantedSlots = 999;
constexpr std::size_t kTextSize = 256;        // account texts: 255 bytes and the NUL
constexpr std::size_t kPathSize = 260;        // data directory: 259 bytes and the NUL
constexpr std::size_t kFingerprintSize = 65;  // 64 hexadecimal digits and the NUL

struct AccountRecord {
    char description[kTextSize];
    char address[kTextSize];
    char password[kTextSize];
    int authMethod;  // a SignInMethod digit: 0 = USER and PASS, 1 = APOP, 2 = OAuth2
    int periodMinutes;
    int scanMessages;         // 1 = score every header; anything else = only count
    std::uint32_t lastCheck;  // seconds since 1970; 0 until the first check
    int security;             // 0 = none, 1 = SSL/TLS, 2 = STARTTLS
    int port;                 // 0 = the security mode's default
    char trustedFingerprint[kFingerprintSize];  // SHA-256, 64 upper-case hex digits, or ""
    char providerId[kTextSize];                 // the OAuth2 provider's id, or ""
    char emailAddress[kTextSize];  // as the user typed it, where it differs from the login
    int autoDelete;                // 1 = delete unwanted messages at or below -deleteThreshold
    int deleteThreshold;           // N of the score -N, 1 to 10000; 0 = never chosen (50)
};

class RuleTable;  // the compiled rules (scan/rule_table.h)

// The one application object: accounts, the current rule table and the unwanted lists.
// The account tables are fixed arrays indexed directly; the counts say how much is in use.
//
// Threads: `mutex` guards the account table, `accountCount` and the unwanted lists
// against the scan worker. The rule table is never changed, only replaced whole
// under a lock of its own; a check keeps the table it took for its whole length.
class AppState {
  public:
    AppState();
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    char dataDirectory[kPathSize] = {};
    char passphrase[kTextSize] = {};
    std::array<AccountRecord, kMaxAccounts> accounts{};
    std::uint32_t accountCount = 0;
    // Set by the pages after any account or rule edit; cleared by every rule reload.
    std::atomic<int> modified{0};
    // Held by every rule reload from the flag's clearing to the table's publishing, so
    // reloads on different threads run one after the other: none builds what another
    // has built already, and an older build is never published over a newer one.
    std::mutex reloadMutex;
    // Set by account edits only; cleared by a successful save of the account file.
    // Close saves on this flag, so an edit followed by a rule reload is still saved.
    std::atomic<int> accountsDirty{0};
    // The passphrase opened no record of the data files: this run keeps its accounts
    // and rules apart, in files of their own, and leaves those files as they are.
    bool accountsApart = false;
    std::array<std::vector<std::string>, kUnwantedSlots> unwantedFrom;
    std::array<std::vector<std::string>, kUnwantedSlots> unwantedSubject;
    // The same messages in full (date, score, rules, header block), index for index.
    std::array<std::vector<UnwantedMessage>, kUnwantedSlots> unwantedDetail;
    // The header blocks fetched in this run, by account and unique id.
    KeptHeaders kept;

    mutable std::mutex mutex;

    // Appends an account under the lock, with a new id. Refused (false) when the table
    // is full.
    bool AppendAccount(const AccountRecord& record);
    // Replaces account `index` under the lock, keeping its lastCheck.
    bool ReplaceAccount(std::uint32_t index, const AccountRecord& record);
    // A copy of account `index` taken under the lock; false when there is none.
    bool CopyAccount(std::uint32_t index, AccountRecord& out) const;
    std::uint32_t AccountCount() const;
    // Removes account `index` under the lock: later accounts and their unwanted lists
    // move down one place, keeping their ids. False when there is no such account.
    bool RemoveAccount(std::uint32_t index);

    // The id of account `index`, or kNoAccount.
    AccountId IdOf(std::uint32_t index) const;
    AccountId IdOfLocked(std::uint32_t index) const;
    // Where account `id` is now; -1 once it was removed. The Locked forms expect
    // `mutex` held.
    int IndexOf(AccountId id) const;
    int IndexOfLocked(AccountId id) const;
    // A copy of account `id` and its index, taken under the lock; false once removed.
    bool CopyAccountById(AccountId id, AccountRecord& out, std::uint32_t* index = nullptr) const;
    // Notes when account `id` was last checked; nothing once it was removed.
    void MarkChecked(AccountId id, std::uint32_t when);

    void RecordUnwanted(std::uint32_t index, std::string from, std::string subject);
    // Makes one check's result account `id`'s unwanted lists, in place of what they
    // held; false once the account was removed.
    bool ReplaceUnwanted(AccountId id, std::vector<UnwantedMessage> messages);
    // A copy of account `index`'s unwanted messages in full, taken under the lock.
    std::vector<UnwantedMessage> CopyUnwantedMessages(std::uint32_t index) const;
    // Copies of one account's unwanted lists, taken under the lock.
    void CopyUnwanted(std::uint32_t index, std::vector<std::string>& from,
                      std::vector<std::string>& subject) const;

    // The rule table in force: an empty one until rules are loaded, never null.
    std::shared_ptr<const RuleTable> CurrentRules() const;
    // Puts `table` in force. Whoever holds the old one keeps it until they let go.
    void PublishRules(std::shared_ptr<const RuleTable> table);

  private:
    std::array<AccountId, kMaxAccounts> ids_{};  // by index, guarded by `mutex`
    AccountId nextId_ = 1;                       // guarded by `mutex`
    mutable std::mutex rulesMutex_;
    std::shared_ptr<const RuleTable> rules_;  // guarded by rulesMutex_
};

// The program's one AppState. It is never destroyed, so a worker thread let go at
// exit may still read its accounts while the process ends.
AppState& ProcessAppState();

// Copies `text` into a fixed account field, cut to 255 bytes.
void SetAccountText(char (&field)[kTextSize], const std::string& text);

// Fills `dataDirectory` from the full path of the program file: everything up to and
// including its last separator, cut to 259 bytes.
void SetDataDirectory(AppState& state, const std::string& programFile);
