#include "store/record_cipher.h"

#include <crypto++/default.h>
#include <crypto++/filters.h>
#include <crypto++/hex.h>

namespace {

// The envelope of these files: DES-EDE2 in CBC with a SHA-1 key check and an
// HMAC-SHA-1 of the text, salted per record.
using Encryptor = CryptoPP::LegacyEncryptorWithMAC;
using Decryptor = CryptoPP::LegacyDecryptorWithMAC;

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
