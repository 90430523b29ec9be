#include "app/kept_headers.h"

#include <algorithm>
#include <unordered_set>

KeptHeaders::KeptHeaders(std::size_t byteLimit) : byteLimit_(byteLimit) {}

void KeptHeaders::SetByteLimit(std::size_t byteLimit) {
    std::lock_guard lock(mutex_);
    byteLimit_ = byteLimit;
    ForgetOldest();
}

// What a message costs: its texts and a share for the bookkeeping around them.
std::size_t KeptHeaders::Weight(const KeptMessage& message) {
    constexpr std::size_t kOverhead = 128;
    return message.headerBlock.size() + 2 * message.uidl.size() +
           message.firedRules.size() * sizeof(int) + kOverhead;
}

bool KeptHeaders::Find(std::uint32_t account, const std::string& uidl, KeptMessage& out) {
    std::lock_guard lock(mutex_);
    const auto messages = accounts_.find(account);
    if (messages == accounts_.end()) {
        return false;
    }
    const auto found = messages->second.find(uidl);
    if (found == messages->second.end()) {
        return false;
    }
    ages_.splice(ages_.end(), ages_, found->second.age);
    out = found->second.message;
    return true;
}

void KeptHeaders::Keep(std::uint32_t account, KeptMessage message) {
    std::lock_guard lock(mutex_);
    AccountMessages& messages = accounts_[account];
    const auto found = messages.find(message.uidl);
    if (found != messages.end()) {
        Forget(account, found);
    }
    bytes_ += Weight(message);
    ++changes_;
    const auto age = ages_.insert(ages_.end(), Key{account, message.uidl});
    std::string uidl = message.uidl;
    messages.emplace(std::move(uidl), Entry{std::move(message), age});
    ForgetOldest();
}

void KeptHeaders::Retain(std::uint32_t account, const std::vector<std::string>& onServer) {
    std::lock_guard lock(mutex_);
    const auto found = accounts_.find(account);
    if (found == accounts_.end()) {
        return;
    }
    const std::unordered_set<std::string> wanted(onServer.begin(), onServer.end());
    AccountMessages& messages = found->second;
    for (auto it = messages.begin(); it != messages.end();) {
        const auto next = std::next(it);
        if (wanted.count(it->first) == 0) {
            Forget(account, it);
        }
        it = next;
    }
}

void KeptHeaders::RemoveAccount(std::uint32_t account) {
    std::lock_guard lock(mutex_);
    const auto found = accounts_.find(account);
    if (found == accounts_.end()) {
        return;
    }
    AccountMessages& messages = found->second;
    while (!messages.empty()) {
        Forget(account, messages.begin());
    }
    accounts_.erase(found);
    ++changes_;
}

std::vector<KeptMessage> KeptHeaders::Snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<KeptMessage> copies;
    for (const Key& key : ages_) {
        copies.push_back(accounts_.at(key.account).at(key.uidl).message);
        copies.back().account = key.account;
    }
    return copies;
}

std::size_t KeptHeaders::Bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

std::uint64_t KeptHeaders::Changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
}

std::uint64_t KeptHeaders::SavedChanges() const {
    std::lock_guard lock(mutex_);
    return savedChanges_;
}

void KeptHeaders::NoteSaved(std::uint64_t changes) {
    std::lock_guard lock(mutex_);
    savedChanges_ = changes;
}

void KeptHeaders::Forget(std::uint32_t account, AccountMessages::iterator found) {
    ++changes_;
    bytes_ -= Weight(found->second.message);
    ages_.erase(found->second.age);
    accounts_[account].erase(found);
}

void KeptHeaders::ForgetOldest() {
    while (bytes_ > byteLimit_ && !ages_.empty()) {
        const Key& oldest = ages_.front();
        AccountMessages& messages = accounts_[oldest.account];
        Forget(oldest.account, messages.find(oldest.uidl));
    }
}
