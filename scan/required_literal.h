#pragma once

#include <optional>
#include <string>
#include <string_view>

// How the prefilter may read a rule's pattern instead of compiling it as it is in
// the Unicode mode.

// The texts every match of a PCRE2 pattern must contain, in their order, for the
// prefilter: scanning for them finds every field the pattern may match and costs far
// less to compile than the pattern. Returned as a pattern of its own, "text.*text",
// every character but letters and digits escaped ('.' matching any byte); for a
// pattern of several alternatives, one such pattern per alternative joined by '|'.
// Texts shorter than `shortest` bytes are left out. None when some alternative is left
// with fewer than `enough` bytes of text (a short text such as ".com" is in most fields,
// and the whole pattern tells them apart better), or when the pattern uses anything this
// reading is not sure of: then the whole pattern is compiled as before.
std::optional<std::string> RequiredLiteral(std::string_view pattern, std::size_t shortest = 3,
                                           std::size_t enough = 6);

// Whether `pattern` matches valid UTF-8 byte by byte, caseless in ASCII, exactly where
// it matches caseless in Unicode, but for the Kelvin sign and the long s (which
// Unicode takes for 'k' and 's'): ASCII letters and digits, escaped punctuation,
// positive classes, groups, alternatives and repeats; no '.', no negated class, no
// escape by a letter (\w, \d and \b widen in Unicode), nothing outside ASCII.
bool MeansTheSameByteWise(std::string_view pattern);
