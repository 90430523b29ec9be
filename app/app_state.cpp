#include "app/app_state.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "scan/rule_table.h"

AppState::AppState() : rules_(RuleTable::Build(std::vector<ListedRule>{})) {}

AppState& ProcessAppState() {
    // Deliberately leaked: no destructor may run while a let-go thread still uses it.
    static AppState* const state = new AppState;
    return *state;
}

AppState::~AppState() = default;

bool AppState::AppendAccount(const AccountRecord& record) {
    std::lock_guard lock(mutex);
    if (accountCount >= kMaxAccounts) {
        return false;
    }
    accounts[accountCount] = record;
    ids_[accountCount] = nextId_++;
    ++accountCount;
    return true;
}

bool AppState::ReplaceAccount(std::uint32_t index, const AccountRecord& record) {
    std::lock_guard lock(mutex);
    if (index >= accountCount) {
        return false;
    }
    const std::uint32_t lastCheck = accounts[index].lastCheck;
    // Another mailbox may use the same unique ids for other messages.
    const AccountRecord& before = accounts[index];
    if (std::strncmp(before.address, record.address, kTextSize) != 0 ||
        before.port != record.port || before.security != record.security) {
        kept.Retain(ids_[index], {});
    }
    accounts[index] = record;
    accounts[index].lastCheck = lastCheck;
    return true;
}

bool AppState::CopyAccount(std::uint32_t index, AccountRecord& out) const {
    std::lock_guard lock(mutex);
    if (index >= accountCount) {
        return false;
    }
    out = accounts[index];
    return true;
}

std::uint32_t AppState::AccountCount() const {
    std::lock_guard lock(mutex);
    return accountCount;
}

bool AppState::RemoveAccount(std::uint32_t index) {
    std::lock_guard lock(mutex);
    if (index >= accountCount) {
        return false;
    }
    kept.RemoveAccount(ids_[index]);
    std::move(accounts.begin() + index + 1, accounts.begin() + accountCount,
              accounts.begin() + index);
    std::move(ids_.begin() + index + 1, ids_.begin() + accountCount, ids_.begin() + index);
    accounts[accountCount - 1] = AccountRecord{};
    ids_[accountCount - 1] = kNoAccount;
    const std::size_t slots = std::min<std::size_t>(accountCount, kUnwantedSlots);
    if (index < slots) {
        std::move(unwantedFrom.begin() + index + 1, unwantedFrom.begin() + slots,
                  unwantedFrom.begin() + index);
        std::move(unwantedSubject.begin() + index + 1, unwantedSubject.begin() + slots,
                  unwantedSubject.begin() + index);
        std::move(unwantedDetail.begin() + index + 1, unwantedDetail.begin() + slots,
                  unwantedDetail.begin() + index);
        unwantedFrom[slots - 1].clear();
        unwantedSubject[slots - 1].clear();
        unwantedDetail[slots - 1].clear();
    }
    --accountCount;
    return true;
}

AccountId AppState::IdOf(std::uint32_t index) const {
    std::lock_guard lock(mutex);
    return IdOfLocked(index);
}

AccountId AppState::IdOfLocked(std::uint32_t index) const {
    return index < accountCount ? ids_[index] : kNoAccount;
}

int AppState::IndexOf(AccountId id) const {
    std::lock_guard lock(mutex);
    return IndexOfLocked(id);
}

int AppState::IndexOfLocked(AccountId id) const {
    if (id == kNoAccount) {
        return -1;
    }
    const auto end = ids_.begin() + accountCount;
    const auto found = std::find(ids_.begin(), end, id);
    return found == end ? -1 : static_cast<int>(found - ids_.begin());
}

bool AppState::CopyAccountById(AccountId id, AccountRecord& out, std::uint32_t* index) const {
    std::lock_guard lock(mutex);
    const int at = IndexOfLocked(id);
    if (at < 0) {
        return false;
    }
    out = accounts[static_cast<std::size_t>(at)];
    if (index != nullptr) {
        *index = static_cast<std::uint32_t>(at);
    }
    return true;
}

void AppState::MarkChecked(AccountId id, std::uint32_t when) {
    std::lock_guard lock(mutex);
    const int at = IndexOfLocked(id);
    if (at >= 0) {
        accounts[static_cast<std::size_t>(at)].lastCheck = when;
    }
}

void AppState::RecordUnwanted(std::uint32_t index, std::string from, std::string subject) {
    if (index >= kUnwantedSlots) {
        return;
    }
    std::lock_guard lock(mutex);
    UnwantedMessage& message = unwantedDetail[index].emplace_back();
    message.from = from;
    message.subject = subject;
    unwantedFrom[index].push_back(std::move(from));
    unwantedSubject[index].push_back(std::move(subject));
}

bool AppState::ReplaceUnwanted(AccountId id, std::vector<UnwantedMessage> messages) {
    std::lock_guard lock(mutex);
    const int at = IndexOfLocked(id);
    if (at < 0 || static_cast<std::size_t>(at) >= kUnwantedSlots) {
        return false;
    }
    const auto index = static_cast<std::size_t>(at);
    unwantedFrom[index].clear();
    unwantedSubject[index].clear();
    for (const UnwantedMessage& message : messages) {
        unwantedFrom[index].push_back(message.from);
        unwantedSubject[index].push_back(message.subject);
    }
    unwantedDetail[index] = std::move(messages);
    return true;
}

std::vector<UnwantedMessage> AppState::CopyUnwantedMessages(std::uint32_t index) const {
    if (index >= kUnwantedSlots) {
        return {};
    }
    std::lock_guard lock(mutex);
    return unwantedDetail[index];
}

void AppState::CopyUnwanted(std::uint32_t index, std::vector<std::string>& from,
                            std::vector<std::string>& subject) const {
    from.clear();
    subject.clear();
    if (index >= kUnwantedSlots) {
        return;
    }
    std::lock_guard lock(mutex);
    from = unwantedFrom[index];
    subject = unwantedSubject[index];
}

std::shared_ptr<const RuleTable> AppState::CurrentRules() const {
    std::lock_guard lock(rulesMutex_);
    return rules_;
}

void AppState::PublishRules(std::shared_ptr<const RuleTable> table) {
    if (!table) {
        return;
    }
    std::shared_ptr<const RuleTable> old;
    {
        std::lock_guard lock(rulesMutex_);
        old = std::exchange(rules_, std::move(table));
    }
    // `old` may be the last pointer: its patterns are freed here, outside the lock.
}

void SetAccountText(char (&field)[kTextSize], const std::string& text) {
    std::memset(field, 0, kTextSize);
    const std::size_t n = std::min(std::strlen(text.c_str()), kTextSize - 1);
    std::memcpy(field, text.data(), n);
}

void SetDataDirectory(AppState& state, const std::string& programFile) {
    std::memset(state.dataDirectory, 0, kPathSize);
    const std::size_t slash = programFile.find_last_of('/');
    if (slash == std::string::npos) {
        return;
    }
    const std::size_t n = std::min(slash + 1, kPathSize - 1);
    std::memcpy(state.dataDirectory, programFile.data(), n);
}
