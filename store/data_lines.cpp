#include "store/data_lines.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

bool ReadDataFile(const std::string& path, std::string& content) {
    content.clear();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        return false;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        content.append(buffer, n);
    }
    if (std::ferror(file.get()) != 0) {
        content.clear();
        return false;
    }
    return true;
}

void SplitDataLines(const std::string& content, std::vector<std::string>& lines) {
    lines.clear();
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::size_t stop = end;
        if (stop > start && content[stop - 1] == '\r') {
            --stop;
        }
        if (stop > start) {
            lines.emplace_back(content, start, stop - start);
        }
        start = end + 1;
    }
}

bool ReadDataLines(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    std::string content;
    if (!ReadDataFile(path, content)) {
        return false;
    }
    SplitDataLines(content, lines);
    return true;
}

bool ReadDataLinesIfAny(const std::string& path, std::vector<std::string>& lines) {
    if (ReadDataLines(path, lines)) {
        return true;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) != 0 && errno == ENOENT;
}

void AppendDataLine(std::string& content, const std::string& line) {
    content += line;
    content += "\r\n";
}

bool DataFileMissingOrEmpty(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) != 0 || info.st_size == 0;
}

int ParseDecimalField(const char* field, std::size_t length) {
    // Record fields are four bytes; nine digits at most keep any value within an int.
    length = std::min(length, std::size_t{9});
    std::size_t i = 0;
    bool negative = false;
    if (i < length && (field[i] == '-' || field[i] == '+')) {
        negative = field[i] == '-';
        ++i;
    }
    int value = 0;
    for (; i < length && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
    }
    return negative ? -value : value;
}
