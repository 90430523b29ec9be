#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Decodes every MIME encoded word (Q and B) of a header block, in one pass, and
// converts it from its charset to UTF-8: bytes invalid in it, and every byte past
// ASCII of a charset nobody knows, become U+FFFD. Adjacent words in one charset are
// converted together. Raw 8-bit bytes outside encoded words stay as they are.
// Returns the block's new length; nullopt (block unchanged) when it holds no "=?".
// The block's text ends at its first NUL byte.
std::optional<std::size_t> DecodeEncodedWords(std::string& block);

// Decodes base64 groups from `source` into `destination` (see the .cpp for the
// rules). Bytes written; 0 when the source starts with CR; -1 on a broken group.
int DecodeBase64(char* destination, const char* source);

// 0 and `out` set when both characters are hex digits; 1 otherwise (out untouched).
int HexPairValue(char high, char low, unsigned char& out);

// The first field of each of `names` as FindHeaderField finds it, in one walk of the
// block: `fields` has a place for each name.
void FindHeaderFields(const std::string& block, std::span<const std::string_view> names,
                      std::span<std::optional<std::string>> fields);

// Where the field starting at `begin` ends: its CRLF, past any folded lines, or the
// end of `text`.
std::size_t FoldedFieldEnd(std::string_view text, std::size_t begin);

// The bytes of `text` from `begin` to `end` without the CRLFs of their folds (the
// blank after each stays).
std::string UnfoldedField(std::string_view text, std::size_t begin, std::size_t end);

// Whether `text` holds `name` at `at`, ASCII letters compared without case.
bool StartsWithCaseless(std::string_view text, std::size_t at, std::string_view name);

// The first field whose line begins with `name` (caseless, colon included), with its
// folding unfolded (CRLF removed, the leading blank kept). nullopt when absent.
std::optional<std::string> FindHeaderField(const std::string& block, std::string_view name);

// The text of that field after its name and the blanks that lead it; empty when absent.
std::string HeaderFieldValue(const std::string& block, std::string_view name);

// As FindHeaderField, and removes that field from the block (leaving an empty line).
std::optional<std::string> CutHeaderField(std::string& block, std::string_view name);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or stray bytes).
bool IsValidUtf8(std::string_view text);

// Appends `bytes` to `out` with every byte that starts no valid UTF-8 sequence
// replaced by U+FFFD: the text as the window shows it.
void AppendWithReplacement(std::string_view bytes, std::string& out);
