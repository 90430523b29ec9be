#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "store/user_prompts.h"
#include "tests/support/test_fixtures.h"

using qvtest::FakePrompts;

// A fresh data directory per test, removed afterwards.
class DataDirTest : public ::testing::Test {
  protected:
    void Point(AppState& state, const std::string& passphrase = "") const {
        std::strncpy(state.dataDirectory, dir.c_str(), kPathSize - 1);
        SetAccountText(state.passphrase, passphrase);
    }
    static std::string ReadAll(const std::string& path) {
        std::ostringstream out;
        out << std::ifstream(path, std::ios::binary).rdbuf();
        return out.str();
    }
    static void WriteAll(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    // The lines of a file that must end every line with CR LF.
    static std::vector<std::string> CrLfLines(const std::string& path) {
        const std::string content = ReadAll(path);
        std::vector<std::string> lines;
        for (std::size_t start = 0; start < content.size();) {
            const std::size_t end = content.find("\r\n", start);
            if (end == std::string::npos) {
                ADD_FAILURE() << "line without CR LF";
                break;
            }
            lines.push_back(content.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }
    std::size_t EntryCount() const {
        const std::filesystem::directory_iterator entries(dir);
        return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
    }

    qvtest::TempDirectory temp;
    const std::string dir = temp.Path();
};
