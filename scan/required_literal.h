#pragma once

#include <optional>
#include <string>
#include <string_view>

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
