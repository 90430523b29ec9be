#include "scan_corpus.h"

#include <random>

#include "scan/rule_compiler.h"

namespace {

// Ordinary mail and unwanted mail draw on different words and hosts; rules are
// written against the unwanted kind, mostly on made-up words and hosts, so that a
// single rule seldom matches, as in a real list.
const std::vector<std::string> kHamWords = {
    "meeting", "report", "update", "minutes", "agenda", "invoice", "holiday", "project",
    "review",  "draft",  "budget", "photos",  "lunch",  "family",  "release", "notes"};
const std::vector<std::string> kSpamWords = {
    "free",   "winner", "prize",  "casino", "lottery", "urgent", "bitcoin", "loan",
    "credit", "pharma", "refund", "bonus",  "replica", "dating", "viagra",  "cheap"};
const std::vector<std::string> kHamDomains = {"example.com", "example.org", "example.net",
                                              "mail.example.co.uk", "lists.example.edu"};
const std::vector<std::string> kNames = {"alice", "bob",   "carol", "dave", "erin",
                                         "frank", "grace", "heidi", "ivan", "judy"};
const std::vector<std::string> kTlds = {"biz", "info", "top", "xyz", "ru", "cn", "click"};
const std::vector<std::string> kSyllables = {"ka",  "lo", "mi", "zen", "tra", "vo",  "qu", "ex",
                                             "nor", "sa", "pi", "ro",  "ul",  "fex", "da", "ty"};

class Picker {
  public:
    explicit Picker(unsigned seed) : rng_(seed) {}
    int Int(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    const std::string& Of(const std::vector<std::string>& v) {
        return v[static_cast<std::size_t>(Int(0, static_cast<int>(v.size()) - 1))];
    }
    std::string MadeUp() {
        std::string word;
        for (int i = Int(2, 4); i > 0; --i) {
            word += Of(kSyllables);
        }
        return word;
    }
    std::string SpamWord() { return Chance(0.3) ? Of(kSpamWords) : MadeUp(); }
    std::string SpamHost() { return MadeUp() + "." + Of(kTlds); }

  private:
    std::mt19937 rng_;
};

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '.' || c == '-') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

std::string Alternation(Picker& pick, int n) {
    std::string out = "(";
    for (int i = 0; i < n; ++i) {
        // Two appends: GCC 12 flags `"|" + word` with a false -Wrestrict at -O3.
        out += i ? "|" : "";
        out += pick.SpamWord();
    }
    return out + ")";
}

std::string ReceivedRule(Picker& pick) {
    switch (pick.Int(0, 3)) {
        case 0:
            return "from [a-z0-9-]{0,20}" + pick.MadeUp() + "\\.(" + pick.Of(kTlds) + "|" +
                   pick.Of(kTlds) + ")";
        case 1:
            return "\\[(10|192\\.168|172\\.(1[6-9]|2[0-9]))\\.[0-9]{1,3}\\.[0-9]{1,3}\\]";
        case 2:
            return "by [a-z]+\\." + Escaped(pick.SpamHost());
        default:
            return "helo=" + pick.MadeUp() + "[0-9]{2,4}";
    }
}

std::string SubjectRule(Picker& pick) {
    switch (pick.Int(0, 3)) {
        case 0:
            return Alternation(pick, pick.Int(2, 5));
        case 1:
            return pick.SpamWord() + ".{0,20}" + pick.SpamWord();
        case 2:
            return "[!$]{3,}|" + pick.SpamWord() + "[0-9]{2,4}";
        default:
            return "\\b" + pick.SpamWord() + "s?\\b";
    }
}

// Friends name people at ordinary domains; Block rules name unwanted senders.
std::string AddressRule(Picker& pick, bool friends) {
    if (friends) {
        return pick.Of(kNames) + "(\\.[a-z]+)?@" + Escaped(pick.Of(kHamDomains));
    }
    switch (pick.Int(0, 3)) {
        case 0:
            return pick.Of(kNames) + "@" + Escaped(pick.SpamHost());
        case 1:
            return "@[a-z0-9.-]*" + pick.MadeUp() + "\\.(" + pick.Of(kTlds) + "|" + pick.Of(kTlds) +
                   ")>?$";
        case 2:
            return "[a-z]{3,10}[0-9]{3,6}@[a-z]+\\." + pick.Of(kTlds);
        default:
            return Alternation(pick, 3) + "[0-9]*@";
    }
}

std::string ContainsFor(Picker& pick, const std::string& header, bool friends) {
    if (header == "Received:") {
        return ReceivedRule(pick);
    }
    if (header == "Subject:") {
        return SubjectRule(pick);
    }
    return AddressRule(pick, friends);
}

std::string EncodedWord(Picker& pick, const std::string& text) {
    if (pick.Chance(0.5)) {
        std::string q;
        for (char c : text) {
            q += (c == ' ') ? std::string("_") : std::string(1, c);
        }
        return "=?iso-8859-1?Q?" + q + "=E9?=";
    }
    static const char* const kB64[] = {"SGVsbG8gd29ybGQ=", "Rm9vIGJhcg==", "Q2Fmw6kgYXUgbGFpdA=="};
    return std::string("=?utf-8?B?") + kB64[pick.Int(0, 2)] + "?=";
}

std::string Address(Picker& pick, bool spam) {
    const std::string number = pick.Chance(0.1) ? std::to_string(pick.Int(100, 99999)) : "";
    return pick.Of(kNames) + number + "@" + (spam ? pick.SpamHost() : pick.Of(kHamDomains));
}

std::string ReceivedField(Picker& pick, bool spam) {
    const std::string host = pick.Of(kNames) + "-" + std::to_string(pick.Int(1, 99)) + "." +
                             (spam && pick.Chance(0.5) ? pick.SpamHost() : pick.Of(kHamDomains));
    return "Received: from " + host + " (" + host + " [" + std::to_string(pick.Int(1, 223)) + "." +
           std::to_string(pick.Int(0, 255)) + ".0." + std::to_string(pick.Int(1, 254)) +
           "])\r\n\tby mx." + pick.Of(kHamDomains) + " with ESMTPS id " +
           std::to_string(pick.Int(100000, 999999)) + "\r\n\tfor <" + Address(pick, false) +
           ">; Mon, 7 Dec 2026 06:" + std::to_string(pick.Int(10, 59)) + ":00 +0000\r\n";
}

std::string Header(Picker& pick) {
    const bool spam = pick.Chance(0.3);
    auto word = [&] { return spam ? pick.SpamWord() : pick.Of(kHamWords); };
    std::string h = "Return-Path: <" + Address(pick, spam) + ">\r\n";
    for (int i = pick.Int(3, 6); i > 0; --i) {
        h += ReceivedField(pick, spam);
    }
    h += "From: " + EncodedWord(pick, pick.Of(kNames)) + " <" + Address(pick, spam) + ">\r\n";
    h += "To: " + Address(pick, false) + "\r\n";
    if (pick.Chance(0.4)) {
        h += "Cc: " + Address(pick, false) + ",\r\n " + Address(pick, false) + "\r\n";
    }
    h += "Subject: " + EncodedWord(pick, word() + " " + word()) + "\r\n " +
         EncodedWord(pick, word()) + " " + word() + "\r\n";
    h += "Date: Mon, 7 Dec 2026 06:00:00 +0000\r\nMessage-ID: <" +
         std::to_string(pick.Int(1, 1 << 30)) + "@" + pick.Of(kHamDomains) +
         ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n";
    return h;
}

// A Subject in a charset other than UTF-8 and Latin-1, or in raw 8-bit bytes that are
// not UTF-8.
std::string ForeignSubject(Picker& pick) {
    static const char* const kSubjects[] = {
        "Subject: =?koi8-r?B?19nJx9LZ2yDQ0sna?=\r\n",         // Russian
        "Subject: =?shift_jis?B?k5aRSYLMgqiSbYLngrk=?=\r\n",  // Japanese
        "Subject: =?gb18030?B?1tC9sc2o1qo=?=\r\n",            // Chinese
        "Subject: =?iso-8859-2?B?WmG/87PmIGfqtmyx?=\r\n",     // Polish
        "Subject: M\xFCller Angebot \xE9t\xE9 50%\r\n",       // raw Latin-1
    };
    return kSubjects[pick.Int(0, 4)];
}

}  // namespace

std::vector<BenchRule> MakeRules(std::size_t count, unsigned seed) {
    static const std::vector<std::string> kHeaders = {
        "From:", "To:", "Cc:", "Recipient", "Subject:", "Received:", "Subject:", "From:"};
    static const std::vector<std::string> kIdle = {"Sender:", "Reply-To:", "Message-ID:"};
    Picker pick(seed);
    std::vector<BenchRule> rules;
    rules.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const bool idle = pick.Chance(0.03);
        const std::string header = idle ? pick.Of(kIdle) : pick.Of(kHeaders);
        const bool friends = pick.Chance(0.15);
        rules.push_back({friends ? RuleList::kFriends : RuleList::kBlock, header,
                         ContainsFor(pick, header, friends),
                         friends ? pick.Int(20, 100) : pick.Int(5, 50)});
    }
    return rules;
}

std::vector<std::string> MakeHeaders(std::size_t count, unsigned seed, double foreignShare) {
    Picker pick(seed);
    std::vector<std::string> headers;
    headers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string header = Header(pick);
        // No draw without foreign headers: the plain corpus stays the one earlier
        // trees scored, so their figures compare.
        if (foreignShare > 0 && pick.Chance(foreignShare)) {
            const std::size_t subject = header.find("\r\nSubject: ") + 2;
            const std::size_t date = header.find("Date: ", subject);
            header.replace(subject, date - subject, ForeignSubject(pick));
        }
        headers.push_back(std::move(header));
    }
    return headers;
}

void CompileAll(RuleTableBuilder& table, const std::vector<BenchRule>& rules, bool useJit) {
    table.Clear();
    for (const BenchRule& rule : rules) {
        table.Add(rule.list, rule.header, rule.contains, rule.weight, useJit);
    }
}
