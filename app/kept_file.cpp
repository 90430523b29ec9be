// The kept file, all numbers little-endian:
//
//   header (40 bytes, bound into the GCM tag as additional data)
//     0  "QVKEPT"                  magic
//     6  u16 version               1
//     8  u32 PBKDF2 iterations     PBKDF2-HMAC-SHA256 of the passphrase -> AES-256 key
//    12  16 bytes salt             random, chosen with the key
//    28  12 bytes nonce            random, new at every write
//   40  body, AES-256-GCM encrypted
//   end 16 bytes GCM tag
//
//   body
//     32 bytes   SHA-256 of the rule table the verdicts came from
//     u32 n      accounts, each a string "login@server:port/security"
//     u32 m      blocks, least recently used first, each:
//                u32 account (index into the strings above), u8 judged by that rule
//                table (1) or older (0), i32 score, string uidl, string header block,
//                u32 k, k x i32 fired rules
//   A string is a u32 length and its bytes.

#include "app/kept_file.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "app/app_state.h"
#include "app/debug_log.h"
#include "scan/rule_table.h"
#include "store/atomic_file.h"
#include "store/user_prompts.h"

namespace {

constexpr char kMagic[] = {'Q', 'V', 'K', 'E', 'P', 'T'};
constexpr std::uint16_t kVersion = 1;
// About a tenth of a second on a slow core; derived once per run and passphrase.
constexpr std::uint32_t kIterations = 200000;
// Bounds on what a file may ask for, so a foreign file cannot stall the start.
constexpr std::uint32_t kFewestIterations = 10000;
constexpr std::uint32_t kMostIterations = 2000000;
constexpr std::size_t kSaltSize = 16;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kHeaderSize = sizeof kMagic + 2 + 4 + kSaltSize + kNonceSize;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kFingerprintBytes = 32;
// A verdict that no rule table of this run produced: the worker judges it again.
constexpr std::uint64_t kUnjudged = std::numeric_limits<std::uint64_t>::max();

using Key = std::array<unsigned char, kKeySize>;
using Salt = std::array<unsigned char, kSaltSize>;

// The key last derived, so saves after the first cost no derivation. A new salt comes
// only with a new passphrase or a file that did not open.
struct KeyCache {
    std::mutex mutex;
    std::string passphrase;
    Salt salt{};
    std::uint32_t iterations = 0;
    Key key{};
    bool derived = false;  // key belongs to the inputs above
    bool valid = false;    // and a file opened with it or was written with it
};

KeyCache& Cache() {
    static KeyCache cache;
    return cache;
}

bool Derive(const std::string& passphrase, const Salt& salt, std::uint32_t iterations, Key& key) {
    return PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             EVP_sha256(), static_cast<int>(key.size()), key.data()) == 1;
}

// The key for `salt`, from the cache when it was derived for the same inputs.
bool KeyFor(const std::string& passphrase, const Salt& salt, std::uint32_t iterations, Key& key) {
    KeyCache& cache = Cache();
    std::lock_guard lock(cache.mutex);
    // The same inputs give the same key: a key not yet proven by a file (the rule
    // cache derives it before the kept file is read) is reused, never derived twice.
    if (!cache.derived || cache.passphrase != passphrase || cache.salt != salt ||
        cache.iterations != iterations) {
        Key derived{};
        if (!Derive(passphrase, salt, iterations, derived)) {
            return false;
        }
        cache.passphrase = passphrase;
        cache.salt = salt;
        cache.iterations = iterations;
        cache.key = derived;
        cache.derived = true;
        cache.valid = false;  // until a file opens with it or one is written
    }
    key = cache.key;
    return true;
}

void TrustCachedKey(bool trusted) {
    KeyCache& cache = Cache();
    std::lock_guard lock(cache.mutex);
    cache.valid = trusted;
}

// The salt and key for the next write: those of the file last opened or written under
// this passphrase, or fresh ones.
bool KeyForWriting(const std::string& passphrase, Salt& salt, Key& key) {
    {
        KeyCache& cache = Cache();
        std::lock_guard lock(cache.mutex);
        if (cache.valid && cache.passphrase == passphrase && cache.iterations == kIterations) {
            salt = cache.salt;
            key = cache.key;
            return true;
        }
    }
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
        !KeyFor(passphrase, salt, kIterations, key)) {
        return false;
    }
    TrustCachedKey(true);
    return true;
}

struct CipherContext {
    CipherContext() : ctx(EVP_CIPHER_CTX_new()) {}
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
    EVP_CIPHER_CTX* ctx;
};

// EVP counts in int: long texts go in pieces.
constexpr std::size_t kPiece = std::size_t{1} << 24;

bool Seal(const Key& key, const std::string& header, const std::string& body, std::string& out) {
    CipherContext c;
    const auto* nonce =
        reinterpret_cast<const unsigned char*>(header.data() + kHeaderSize - kNonceSize);
    int length = 0;
    if (c.ctx == nullptr ||
        EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, key.data(), nonce) != 1 ||
        EVP_EncryptUpdate(c.ctx, nullptr, &length,
                          reinterpret_cast<const unsigned char*>(header.data()),
                          static_cast<int>(header.size())) != 1) {
        return false;
    }
    out = header;
    out.resize(header.size() + body.size() + kTagSize);
    auto* to = reinterpret_cast<unsigned char*>(out.data() + header.size());
    const auto* from = reinterpret_cast<const unsigned char*>(body.data());
    for (std::size_t done = 0; done < body.size(); done += kPiece) {
        const std::size_t piece = std::min(kPiece, body.size() - done);
        if (EVP_EncryptUpdate(c.ctx, to + done, &length, from + done, static_cast<int>(piece)) !=
            1) {
            return false;
        }
    }
    auto* tag = to + body.size();
    return EVP_EncryptFinal_ex(c.ctx, tag, &length) == 1 &&
           EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) == 1;
}

bool Open(const Key& key, const std::string& file, std::string& body) {
    CipherContext c;
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    const std::size_t bodySize = file.size() - kHeaderSize - kTagSize;
    int length = 0;
    if (c.ctx == nullptr ||
        EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, key.data(),
                           bytes + kHeaderSize - kNonceSize) != 1 ||
        EVP_DecryptUpdate(c.ctx, nullptr, &length, bytes, static_cast<int>(kHeaderSize)) != 1) {
        return false;
    }
    body.resize(bodySize);
    auto* to = reinterpret_cast<unsigned char*>(body.data());
    for (std::size_t done = 0; done < bodySize; done += kPiece) {
        const std::size_t piece = std::min(kPiece, bodySize - done);
        if (EVP_DecryptUpdate(c.ctx, to + done, &length, bytes + kHeaderSize + done,
                              static_cast<int>(piece)) != 1) {
            return false;
        }
    }
    std::array<unsigned char, kTagSize> tag{};
    std::memcpy(tag.data(), bytes + kHeaderSize + bodySize, kTagSize);
    unsigned char last[16];
    return EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                               tag.data()) == 1 &&
           EVP_DecryptFinal_ex(c.ctx, last, &length) == 1;
}

void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

void PutText(std::string& out, const std::string& text) {
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

// Reads the body; every read checks what is left, so a short body stops it cleanly.
class BodyReader {
  public:
    explicit BodyReader(const std::string& body) : body_(body) {}
    bool Bytes(std::size_t count, std::string& out) {
        if (body_.size() - at_ < count) {
            return false;
        }
        // A fresh string rather than assign(): GCC 12 sees a false overlap in the
        // latter at -O3 and fails the Release build.
        out = std::string(body_.data() + at_, count);
        at_ += count;
        return true;
    }
    bool U32(std::uint32_t& value) {
        if (body_.size() - at_ < 4) {
            return false;
        }
        value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= std::uint32_t{static_cast<unsigned char>(body_[at_ + i])} << (8 * i);
        }
        at_ += 4;
        return true;
    }
    bool Text(std::string& text) {
        std::uint32_t size = 0;
        return U32(size) && Bytes(size, text);
    }
    // A count of items of at least `itemSize` bytes that the rest of the body can hold.
    bool Count(std::size_t itemSize, std::uint32_t& count) {
        return U32(count) && count <= (body_.size() - at_) / itemSize;
    }
    bool AtEnd() const { return at_ == body_.size(); }

  private:
    const std::string& body_;
    std::size_t at_ = 0;
};

class SilentPrompts : public UserPrompts {
  public:
    bool AskPassphrase(bool, std::string&) override { return false; }
    void ShowNotice(const std::string&) override {}
};

std::string AccountKey(const AccountRecord& account) {
    return std::string(account.address, strnlen(account.address, kTextSize)) + ':' +
           std::to_string(account.port) + '/' + std::to_string(account.security);
}

// Verdicts and fired-rule indices hold only for the rule table they came from.
std::string RulesFingerprint(const RuleTable& table) {
    std::string text;
    PutU32(text, table.size());
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        const CompiledRule& rule = table[i];
        PutU32(text, static_cast<std::uint32_t>(rule.headerCode));
        PutU32(text, static_cast<std::uint32_t>(rule.weight));
        PutU32(text, rule.options);
        PutU32(text, static_cast<std::uint32_t>(rule.list));
        PutText(text, rule.source);
        PutText(text, rule.headerName);
        PutText(text, rule.contains);
    }
    std::string digest(kFingerprintBytes, '\0');
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), reinterpret_cast<unsigned char*>(digest.data()), &size,
                   EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return digest;
}

struct ReadBlock {
    std::uint32_t account = 0;
    bool judgedByRules = false;
    KeptMessage message;
};

struct ReadFile {
    std::string fingerprint;
    std::vector<std::string> accounts;
    std::vector<ReadBlock> blocks;
};

bool ReadBody(const std::string& body, ReadFile& file) {
    BodyReader in(body);
    std::uint32_t accounts = 0;
    if (!in.Bytes(kFingerprintBytes, file.fingerprint) || !in.Count(4, accounts)) {
        return false;
    }
    file.accounts.resize(accounts);
    for (std::string& account : file.accounts) {
        if (!in.Text(account)) {
            return false;
        }
    }
    std::uint32_t blocks = 0;
    constexpr std::size_t kSmallestBlock = 4 + 1 + 4 + 4 + 4 + 4;
    if (!in.Count(kSmallestBlock, blocks)) {
        return false;
    }
    file.blocks.resize(blocks);
    for (ReadBlock& block : file.blocks) {
        std::string judged;
        std::uint32_t score = 0;
        std::uint32_t fired = 0;
        if (!in.U32(block.account) || block.account >= accounts || !in.Bytes(1, judged) ||
            !in.U32(score) || !in.Text(block.message.uidl) || !in.Text(block.message.headerBlock) ||
            !in.Count(4, fired)) {
            return false;
        }
        block.judgedByRules = judged[0] == 1;
        block.message.score = static_cast<int>(score);
        block.message.firedRules.resize(fired);
        for (int& rule : block.message.firedRules) {
            std::uint32_t index = 0;
            if (!in.U32(index)) {
                return false;
            }
            rule = static_cast<int>(index);
        }
    }
    return in.AtEnd();
}

std::uint32_t HeaderU32(const std::string& file, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= std::uint32_t{static_cast<unsigned char>(file[at + i])} << (8 * i);
    }
    return value;
}

bool ReadWhole(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > KeptFile::kLargestFile) {
        return false;
    }
    content.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    return static_cast<bool>(in.read(content.data(), size));
}

bool Decrypt(const std::string& passphrase, const std::string& file, std::string& body) {
    if (file.size() < kHeaderSize + kTagSize ||
        std::memcmp(file.data(), kMagic, sizeof kMagic) != 0 ||
        (static_cast<unsigned char>(file[6]) | static_cast<unsigned char>(file[7]) << 8) !=
            kVersion) {
        return false;
    }
    const std::uint32_t iterations = HeaderU32(file, 8);
    if (iterations < kFewestIterations || iterations > kMostIterations) {
        return false;
    }
    Salt salt{};
    std::memcpy(salt.data(), file.data() + 12, kSaltSize);
    Key key{};
    if (!KeyFor(passphrase, salt, iterations, key)) {
        return false;
    }
    const bool opened = Open(key, file, body);
    TrustCachedKey(opened);
    return opened;
}

std::string Header(const Salt& salt, const std::array<unsigned char, kNonceSize>& nonce) {
    std::string header(kMagic, sizeof kMagic);
    header.push_back(static_cast<char>(kVersion & 0xFF));
    header.push_back(static_cast<char>(kVersion >> 8));
    PutU32(header, kIterations);
    header.append(reinterpret_cast<const char*>(salt.data()), salt.size());
    header.append(reinterpret_cast<const char*>(nonce.data()), nonce.size());
    return header;
}

}  // namespace

std::string KeptFile::PathIn(const AppState& state) {
    return std::string(state.dataDirectory) + kFileName;
}

std::size_t KeptFile::Load(AppState& state) {
    std::string content;
    std::string body;
    ReadFile file;
    const std::string passphrase(state.passphrase, strnlen(state.passphrase, kTextSize));
    if (!ReadWhole(PathIn(state), content) || !Decrypt(passphrase, content, body) ||
        !ReadBody(body, file)) {
        // Quiet for the user: a missing or foreign file only means fetching again.
        DebugLog::Write("save", "no usable kept file; every header is fetched again");
        return 0;
    }
    content = std::string();
    body = std::string();
    // One table for both: the verdicts read are marked with the table they match.
    const std::shared_ptr<const RuleTable> rules = state.CurrentRules();
    const bool sameRules = file.fingerprint == RulesFingerprint(*rules);
    const std::uint64_t version = rules->version();
    std::lock_guard lock(state.mutex);
    std::vector<std::vector<std::uint32_t>> owners(file.accounts.size());
    for (std::uint32_t i = 0; i < state.accountCount; ++i) {
        const auto found =
            std::find(file.accounts.begin(), file.accounts.end(), AccountKey(state.accounts[i]));
        if (found != file.accounts.end()) {
            owners[static_cast<std::size_t>(found - file.accounts.begin())].push_back(
                state.IdOfLocked(i));
        }
    }
    for (ReadBlock& block : file.blocks) {
        if (sameRules && block.judgedByRules) {
            block.message.rulesVersion = version;
        } else {
            block.message.rulesVersion = kUnjudged;
            block.message.score = 0;
            block.message.firedRules.clear();
        }
        const std::vector<std::uint32_t>& to = owners[block.account];
        for (std::size_t i = 0; i < to.size(); ++i) {
            state.kept.Keep(to[i], i + 1 < to.size() ? block.message : std::move(block.message));
        }
    }
    // What was read is on disk already: only later changes call for a write.
    state.kept.NoteSaved(state.kept.Changes());
    DebugLog::Write("save", "kept file read: " + std::to_string(file.blocks.size()) + " blocks");
    return file.blocks.size();
}

void KeptFile::ForgetKey() {
    KeyCache& cache = Cache();
    std::lock_guard lock(cache.mutex);
    cache.passphrase.clear();
    cache.key.fill(0);
    cache.derived = false;
    cache.valid = false;
}

bool KeptFile::SharedKey(const AppState& state, std::array<unsigned char, 32>& key) {
    std::string header(kHeaderSize, '\0');
    std::ifstream in(PathIn(state), std::ios::binary);
    if (!in.read(header.data(), static_cast<std::streamsize>(header.size())) ||
        std::memcmp(header.data(), kMagic, sizeof kMagic) != 0) {
        return false;
    }
    const std::uint32_t iterations = HeaderU32(header, 8);
    if (iterations < kFewestIterations || iterations > kMostIterations) {
        return false;
    }
    Salt salt{};
    std::memcpy(salt.data(), header.data() + 12, kSaltSize);
    const std::string passphrase(state.passphrase, strnlen(state.passphrase, kTextSize));
    return KeyFor(passphrase, salt, iterations, key);
}

bool KeptFile::SaveIfChanged(AppState& state) {
    return state.kept.Changes() == state.kept.SavedChanges() || Save(state);
}

bool KeptFile::Save(AppState& state) {
    std::vector<KeptMessage> messages;
    std::vector<std::string> accounts;
    std::map<std::uint32_t, std::uint32_t> placeOfId;  // account id -> place in the file
    std::uint64_t changes = 0;
    {
        // One lock over both: no account can go between the copy of the blocks and
        // the copy of the accounts.
        std::lock_guard lock(state.mutex);
        changes = state.kept.Changes();
        messages = state.kept.Snapshot();
        for (std::uint32_t i = 0; i < state.accountCount; ++i) {
            placeOfId[state.IdOfLocked(i)] = i;
            accounts.push_back(AccountKey(state.accounts[i]));
        }
    }
    const std::shared_ptr<const RuleTable> rules = state.CurrentRules();
    const std::uint64_t version = rules->version();
    std::string body = RulesFingerprint(*rules);
    if (body.size() != kFingerprintBytes) {
        return false;
    }
    PutU32(body, static_cast<std::uint32_t>(accounts.size()));
    for (const std::string& account : accounts) {
        PutText(body, account);
    }
    std::string blocks;
    std::uint32_t count = 0;
    for (const KeptMessage& message : messages) {
        const auto place = placeOfId.find(message.account);
        if (place == placeOfId.end()) {
            continue;
        }
        ++count;
        PutU32(blocks, place->second);
        blocks.push_back(message.rulesVersion == version ? 1 : 0);
        PutU32(blocks, static_cast<std::uint32_t>(message.score));
        PutText(blocks, message.uidl);
        PutText(blocks, message.headerBlock);
        PutU32(blocks, static_cast<std::uint32_t>(message.firedRules.size()));
        for (const int rule : message.firedRules) {
            PutU32(blocks, static_cast<std::uint32_t>(rule));
        }
    }
    messages = {};
    PutU32(body, count);
    body += blocks;
    blocks = std::string();

    const std::string passphrase(state.passphrase, strnlen(state.passphrase, kTextSize));
    Salt salt{};
    Key key{};
    std::array<unsigned char, kNonceSize> nonce{};
    std::string sealed;
    if (!KeyForWriting(passphrase, salt, key) ||
        RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1 ||
        !Seal(key, Header(salt, nonce), body, sealed)) {
        return false;
    }
    SilentPrompts silent;
    if (!AtomicFile::Replace(PathIn(state), sealed, silent)) {
        DebugLog::Write("save", "the kept file could not be written");
        return false;
    }
    state.kept.NoteSaved(changes);
    DebugLog::Write("save", "kept file written: " + std::to_string(count) + " blocks");
    return true;
}
