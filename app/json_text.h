#pragma once

#include <string>
#include <string_view>

// `bytes` as a JSON string, quotes included. Valid UTF-8 passes as it is (control
// characters escaped); every byte that is not part of valid UTF-8 becomes \udcXX, the
// lone low surrogate of that byte, so that nothing is dropped and nothing is confused
// with a real character.
std::string JsonString(std::string_view bytes);
