// Plays arbitrary server bytes to a session through an in-memory stream: the first byte
// chooses USER/PASS or APOP (bit 0), or an OAuth2 token (bit 7; bit 6 pins OAUTHBEARER
// instead of letting CAPA choose); the rest is everything the server says. A byte 0x1E
// splits it into pieces: the first is there at once, each further one after one more
// command line (a CAPA reply that lists PIPELINING sends the listing and the headers in
// windows). After the last piece the peer has closed its sending side.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pop3/oauth_mechanism.h"
#include "pop3/pop3_session.h"
#include "pop3/scripted_stream.h"

namespace {

void Script(ScriptedStream& stream, const std::string& bytes) {
    for (std::size_t start = 0; start <= bytes.size();) {
        const std::size_t end = std::min(bytes.find('\x1e', start), bytes.size());
        stream.Say(bytes.substr(start, end - start));
        start = end + 1;
        if (start <= bytes.size()) {
            stream.AwaitCommand();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    ScriptedStream stream;
    Script(stream, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    Pop3Session session(stream);
    session.m_bApop = data[0] & 1;
    if ((data[0] & 0x80) != 0) {
        session.SetSignInMethod(SignInMethod::kOAuth2);
        if ((data[0] & 0x40) != 0) {
            session.PinOAuthMechanism(OAuthMechanism::kOAuthBearer);
        }
    }
    session.m_nTimeout = 200;
    if (session.Login("127.0.0.1", "user", "secret", 110) == 1) {
        int count = 0;
        int total = 0;
        session.Stat(count, total);
        std::vector<std::string> ids;
        session.UniqueIds(ids);
        session.TopEach({1, 2, 3, 4}, [](int, MessageHeader&) { return true; });
        MessageHeader header;
        session.Top(1, header);
        int listed = 0;
        session.GetMessageSize(1 + (data[0] >> 1), listed);
    }
    return 0;
}
