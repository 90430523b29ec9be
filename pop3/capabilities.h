#pragma once

#include <string>
#include <string_view>
#include <vector>

// What a server's CAPA reply (RFC 2449) lists, read once per connection. A server
// without CAPA, or one that answered -ERR, lists nothing.
struct Capabilities {
    bool pipelining = false;
    bool stls = false;
    bool uidl = false;
    // The SASL line's mechanisms, upper-case; empty when the server lists none.
    std::vector<std::string> saslMechanisms;

    [[nodiscard]] bool OffersSasl(std::string_view mechanism) const;

    // `reply`: the whole reply, status line included, without the final ".".
    static Capabilities Parse(std::string_view reply);
};
