#include "store/record_cipher.h"

#include <crypto++/default.h>
#include <crypto++/filters.h>
#include <crypto++/hex.h>

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>

namespace {

// The envelope of these files: DES-EDE2 in CBC with a SHA-1 key check and an
// HMAC-SHA-1 of the text, salted per record.
using Encryptor = CryptoPP::LegacyEncryptorWithMAC;
using Decryptor = CryptoPP::LegacyDecryptorWithMAC;

// A line takes about 0.2 ms: fewer than this many per thread would spend more on
// starting the thread than it saves.
constexpr std::size_t kLinesPerThreadAtLeast = 32;

}  // namespace

std::string RecordCipher::Encrypt(const char* text, std::size_t length, const char* passphrase) {
    std::string line;
    Encryptor encryptor(passphrase, new CryptoPP::HexEncoder(new CryptoPP::StringSink(line),
                                                             /*uppercase=*/true));
    encryptor.Put(reinterpret_cast<const CryptoPP::byte*>(text), length);
    encryptor.MessageEnd();
    return line;
}

std::string RecordCipher::Decrypt(const std::string& line, const char* passphrase, bool* verified) {
    std::string record;
    bool macChecked = false;
    try {
        // The hex decoder owns the decryptor; the raw pointer only asks it afterwards
        // whether the MAC of the message held. Every other failure throws.
        auto* decryptor = new Decryptor(passphrase, new CryptoPP::StringSink(record),
                                        /*throwException=*/true);
        CryptoPP::HexDecoder decoder(decryptor);
        decoder.Put(reinterpret_cast<const CryptoPP::byte*>(line.data()), line.size());
        decoder.MessageEnd();
        macChecked = decryptor->CheckLastMAC();
    } catch (...) {
        // A wrong passphrase, a failed MAC or bad data: the caller sees it in the
        // result and in `verified`, never as an exception.
        macChecked = false;
    }
    if (verified != nullptr) {
        *verified = macChecked;
    }
    return record;
}

std::vector<std::string> RecordCipher::DecryptAll(const std::vector<std::string>& lines,
                                                  const char* passphrase,
                                                  std::vector<bool>& verified) {
    std::vector<std::string> records(lines.size());
    // One flag per byte: std::vector<bool> packs bits, which threads cannot write apart.
    const auto checked = std::make_unique<unsigned char[]>(lines.size());
    const auto decryptRange = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            bool ok = false;
            records[i] = Decrypt(lines[i], passphrase, &ok);
            checked[i] = ok ? 1 : 0;
        }
    };
    const std::size_t processors = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t threads =
        std::min(processors, std::max<std::size_t>(1, lines.size() / kLinesPerThreadAtLeast));
    const std::size_t chunk = (lines.size() + threads - 1) / std::max<std::size_t>(threads, 1);
    std::vector<std::thread> helpers;
    std::size_t handedOut = std::min(lines.size(), chunk);  // the first chunk is ours
    for (std::size_t t = 1; t < threads; ++t) {
        const std::size_t to = std::min(lines.size(), handedOut + chunk);
        try {
            helpers.emplace_back(decryptRange, handedOut, to);
        } catch (const std::system_error&) {
            break;  // no thread to be had: this one decrypts the rest
        }
        handedOut = to;
    }
    decryptRange(0, std::min(lines.size(), chunk));
    decryptRange(handedOut, lines.size());
    for (std::thread& helper : helpers) {
        helper.join();
    }
    verified.assign(lines.size(), false);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        verified[i] = checked[i] != 0;
    }
    return records;
}
