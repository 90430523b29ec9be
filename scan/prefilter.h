#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct hs_database;
struct hs_scratch;

// Many patterns compiled into one Vectorscan database: one scan of a text names the
// patterns that may match it. Each pattern is taken exactly where the library can and
// in its prefilter mode (a superset of the matches) otherwise, so a pattern that
// matches is always named; PCRE2 has the last word. Where the library is missing or
// the processor lacks what it needs, nothing is built and every pattern is tried.
class Prefilter {
  public:
    struct Pattern {
        int id;
        std::string_view text;  // caseless, as the rule compiler builds it
    };

    // Scratch space of one thread, fitted to the databases it scans.
    class Scratch {
      public:
        Scratch() = default;
        ~Scratch();
        Scratch(const Scratch&) = delete;
        Scratch& operator=(const Scratch&) = delete;
        // False when it could not be made: scans then fail and every pattern is tried.
        bool Fit(const Prefilter& prefilter);

      private:
        friend class Prefilter;
        hs_scratch* scratch_ = nullptr;
    };

    ~Prefilter();
    Prefilter(const Prefilter&) = delete;
    Prefilter& operator=(const Prefilter&) = delete;

    static bool Available();
    // Which of the library's scan routines is in use ("none" without one).
    static const char* EngineName();
    // Compiles what the library takes of `patterns`; the ids of the others go to
    // `rejected`. Null when it takes none of them. With a `cacheName` the compiled
    // form is kept in that file of the cache directory and taken from it next time
    // when it was made from the same patterns, library and processor.
    static std::unique_ptr<Prefilter> Build(const std::vector<Pattern>& patterns,
                                            std::vector<int>& rejected,
                                            const std::string& cacheName = {});

    // Appends the ids of the patterns that may match `text`, each once, in no
    // particular order. False when the scan failed: the caller must try them all.
    bool Scan(std::string_view text, Scratch& scratch, std::vector<int>& candidates) const;

    std::size_t DatabaseBytes() const;
    std::size_t exactCount() const { return exactCount_; }
    std::size_t approximateCount() const { return approximateCount_; }

  private:
    Prefilter() = default;
    static std::unique_ptr<Prefilter> Compile(const std::vector<Pattern>& patterns,
                                              std::vector<int>& rejected);
    std::string Serialized(const std::vector<int>& rejected) const;
    // Null when `body` does not hold a database for `patterns`.
    static std::unique_ptr<Prefilter> Deserialized(const std::string& body,
                                                   const std::vector<Pattern>& patterns,
                                                   std::vector<int>& rejected);

    hs_database* database_ = nullptr;
    // The library's scan routine that passed its known-answer test (scan/scan_engine.h).
    int (*scan_)(const hs_database*, const char*, unsigned int, unsigned int, hs_scratch*,
                 int (*)(unsigned int, unsigned long long, unsigned long long, unsigned int, void*),
                 void*) = nullptr;
    std::size_t exactCount_ = 0;
    std::size_t approximateCount_ = 0;
    unsigned largestId_ = 0;  // reports past it are dropped
};
