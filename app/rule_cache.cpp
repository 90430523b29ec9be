// The rule cache, all numbers little-endian:
//
//   header (18 bytes, bound into the GCM tag)  "QVRULE", u16 version 1, 12-byte nonce
//   body, AES-256-GCM encrypted                 32-byte SHA-256 of friends.qvd,
//                                               32-byte SHA-256 of block.qvd, then per
//                                               list (Friends, Block): u32 unread lines,
//                                               u32 n, n x (string header, string
//                                               contains, i32 weight)
//   16-byte GCM tag
//
//   A string is a u32 length and its bytes.

#include "app/rule_cache.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "app/app_state.h"
#include "app/kept_file.h"
#include "scan/scan_cache.h"

namespace {

constexpr char kMagic[] = {'Q', 'V', 'R', 'U', 'L', 'E'};
constexpr std::uint16_t kVersion = 1;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kHeaderSize = sizeof kMagic + 2 + kNonceSize;
constexpr std::size_t kTagSize = 16;
constexpr char kCacheKey[] = "rules 1";

using Key = std::array<unsigned char, 32>;
using Context = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const unsigned char* Bytes(const std::string& text, std::size_t at = 0) {
    return reinterpret_cast<const unsigned char*>(text.data() + at);
}

// One cache file per data directory and file set, so runs on other directories (a
// script's --data-dir) do not push each other's lists out.
std::string FileName(const AppState& state) {
    const std::string where = RuleFilePath(state, RuleList::kFriends);
    const RuleCache::Digest digest = RuleCache::DigestOf(true, where);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "rules-";
    for (std::size_t i = 0; i < 8; ++i) {
        name += kHex[digest[i] >> 4];
        name += kHex[digest[i] & 15];
    }
    return name;
}

// The texts stay in one int-sized piece: rule files are far below 2 GiB.
bool Seal(const Key& key, const std::string& body, std::string& out) {
    std::array<unsigned char, kNonceSize> nonce{};
    Context c(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (body.size() > (std::size_t{1} << 30) ||
        RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1 || !c) {
        return false;
    }
    out.assign(kMagic, sizeof kMagic);
    out.push_back(static_cast<char>(kVersion & 0xFF));
    out.push_back(static_cast<char>(kVersion >> 8));
    out.append(reinterpret_cast<const char*>(nonce.data()), nonce.size());
    int length = 0;
    if (EVP_EncryptInit_ex(c.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data()) != 1 ||
        EVP_EncryptUpdate(c.get(), nullptr, &length, Bytes(out), static_cast<int>(kHeaderSize)) !=
            1) {
        return false;
    }
    out.resize(kHeaderSize + body.size() + kTagSize);
    auto* to = reinterpret_cast<unsigned char*>(out.data() + kHeaderSize);
    return EVP_EncryptUpdate(c.get(), to, &length, Bytes(body), static_cast<int>(body.size())) ==
               1 &&
           EVP_EncryptFinal_ex(c.get(), to + body.size(), &length) == 1 &&
           EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                               to + body.size()) == 1;
}

bool Open(const Key& key, const std::string& sealed, std::string& body) {
    if (sealed.size() < kHeaderSize + kTagSize || sealed.size() > (std::size_t{1} << 30) ||
        std::memcmp(sealed.data(), kMagic, sizeof kMagic) != 0 ||
        (static_cast<unsigned char>(sealed[6]) | static_cast<unsigned char>(sealed[7]) << 8) !=
            kVersion) {
        return false;
    }
    Context c(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const std::size_t bodySize = sealed.size() - kHeaderSize - kTagSize;
    std::array<unsigned char, kTagSize> tag{};
    std::memcpy(tag.data(), sealed.data() + kHeaderSize + bodySize, kTagSize);
    body.resize(bodySize);
    int length = 0;
    unsigned char last[16];
    return c &&
           EVP_DecryptInit_ex(c.get(), EVP_aes_256_gcm(), nullptr, key.data(),
                              Bytes(sealed, sizeof kMagic + 2)) == 1 &&
           EVP_DecryptUpdate(c.get(), nullptr, &length, Bytes(sealed),
                             static_cast<int>(kHeaderSize)) == 1 &&
           EVP_DecryptUpdate(c.get(), reinterpret_cast<unsigned char*>(body.data()), &length,
                             Bytes(sealed, kHeaderSize), static_cast<int>(bodySize)) == 1 &&
           EVP_CIPHER_CTX_ctrl(c.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                               tag.data()) == 1 &&
           EVP_DecryptFinal_ex(c.get(), last, &length) == 1;
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

// Every read checks what is left, so a short or garbled body stops cleanly.
class BodyReader {
  public:
    explicit BodyReader(const std::string& body) : body_(body) {}
    bool Bytes(std::size_t count, std::string& out) {
        if (body_.size() - at_ < count) {
            return false;
        }
        out = std::string(body_.data() + at_, count);
        at_ += count;
        return true;
    }
    bool U32(std::uint32_t& value) {
        std::string four;
        if (!Bytes(4, four)) {
            return false;
        }
        value = 0;
        for (int i = 0; i < 4; ++i) {
            value |= std::uint32_t{static_cast<unsigned char>(four[i])} << (8 * i);
        }
        return true;
    }
    bool Text(std::string& text) {
        std::uint32_t size = 0;
        return U32(size) && Bytes(size, text);
    }
    // A count of items of at least `itemSize` bytes that the rest can hold.
    bool Count(std::size_t itemSize, std::uint32_t& count) {
        return U32(count) && count <= (body_.size() - at_) / itemSize;
    }
    bool AtEnd() const { return at_ == body_.size(); }

  private:
    const std::string& body_;
    std::size_t at_ = 0;
};

bool ReadList(BodyReader& reader, std::vector<RuleEntry>& rules, std::size_t& unread) {
    std::uint32_t unreadLines = 0;
    std::uint32_t count = 0;
    if (!reader.U32(unreadLines) || !reader.Count(12, count)) {
        return false;
    }
    unread = unreadLines;
    rules.resize(count);
    for (RuleEntry& rule : rules) {
        std::uint32_t weight = 0;
        if (!reader.Text(rule.header) || !reader.Text(rule.contains) || !reader.U32(weight)) {
            return false;
        }
        rule.weight = static_cast<std::int32_t>(weight);
    }
    return true;
}

}  // namespace

RuleCache::Digest RuleCache::DigestOf(bool present, const std::string& content) {
    Digest digest{};
    const unsigned char mark = present ? 1 : 0;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> c(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned int length = 0;
    if (!c || EVP_DigestInit_ex(c.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(c.get(), &mark, 1) != 1 ||
        EVP_DigestUpdate(c.get(), content.data(), content.size()) != 1 ||
        EVP_DigestFinal_ex(c.get(), digest.data(), &length) != 1) {
        // All ones matches no file's digest in practice; a failed digest only misses.
        digest.fill(0xFF);
    }
    return digest;
}

std::optional<RuleFiles> RuleCache::Read(const AppState& state, const Digest& friends,
                                         const Digest& block) {
    Key key{};
    const std::optional<std::string> sealed = ScanCache::Read(FileName(state), kCacheKey);
    std::string body;
    if (!sealed || !KeptFile::SharedKey(state, key) || !Open(key, *sealed, body)) {
        return std::nullopt;
    }
    BodyReader reader(body);
    std::string friendsDigest, blockDigest;
    if (!reader.Bytes(32, friendsDigest) || !reader.Bytes(32, blockDigest) ||
        std::memcmp(friendsDigest.data(), friends.data(), 32) != 0 ||
        std::memcmp(blockDigest.data(), block.data(), 32) != 0) {
        return std::nullopt;
    }
    RuleFiles files;
    for (const RuleList list : kRuleLists) {
        const auto at = static_cast<std::size_t>(list);
        if (!ReadList(reader, files.rules[at], files.unread[at])) {
            return std::nullopt;
        }
    }
    if (!reader.AtEnd()) {
        return std::nullopt;
    }
    return files;
}

void RuleCache::Write(const AppState& state, const Digest& friends, const Digest& block,
                      const RuleFiles& files) {
    Key key{};
    if (!KeptFile::SharedKey(state, key)) {
        return;
    }
    std::string body(reinterpret_cast<const char*>(friends.data()), friends.size());
    body.append(reinterpret_cast<const char*>(block.data()), block.size());
    for (const RuleList list : kRuleLists) {
        const auto at = static_cast<std::size_t>(list);
        PutU32(body, static_cast<std::uint32_t>(files.unread[at]));
        PutU32(body, static_cast<std::uint32_t>(files.rules[at].size()));
        for (const RuleEntry& rule : files.rules[at]) {
            PutText(body, rule.header);
            PutText(body, rule.contains);
            PutU32(body, static_cast<std::uint32_t>(rule.weight));
        }
    }
    std::string sealed;
    if (Seal(key, body, sealed)) {
        ScanCache::Write(FileName(state), kCacheKey, sealed);
    }
}
