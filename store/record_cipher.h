#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One record <-> one upper-case hex line, under a passphrase (DES-EDE2, SHA-1 MAC).
class RecordCipher {
  public:
    static std::string Encrypt(const char* text, std::size_t length, const char* passphrase);
    // The record; empty when the passphrase does not fit. Never throws.
    // `verified`, when given, is set true only when the MAC checked out.
    static std::string Decrypt(const std::string& line, const char* passphrase,
                               bool* verified = nullptr);
    // Decrypt of every line, in order, spread over the processors: a file of a few
    // thousand records otherwise takes most of a start. `verified[i]` is set for each
    // line as Decrypt sets it.
    static std::vector<std::string> DecryptAll(const std::vector<std::string>& lines,
                                               const char* passphrase, std::vector<bool>& verified);
};
