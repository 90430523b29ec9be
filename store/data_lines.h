#pragma once

#include <string>
#include <vector>

// The lines of a data file, without their line ends (LF or CR LF). Lines that hold
// nothing but a line end are left out. False, with no lines, when the file cannot
// be read.
bool ReadDataLines(const std::string& path, std::vector<std::string>& lines);

// The bytes of a data file; false, with none, when it cannot be read.
bool ReadDataFile(const std::string& path, std::string& content);

// The lines of `content` as ReadDataLines gives them.
void SplitDataLines(const std::string& content, std::vector<std::string>& lines);

// As ReadDataLines, except that a file that does not exist yet is no failure: it has
// no lines. False only when an existing file cannot be read.
bool ReadDataLinesIfAny(const std::string& path, std::vector<std::string>& lines);

// Appends `line` with the CR LF that ends every line these files hold.
void AppendDataLine(std::string& content, const std::string& line);

// True when `path` does not exist or holds 0 bytes.
bool DataFileMissingOrEmpty(const std::string& path);

// A number field of a record: an optional sign, then decimal digits up to the first
// other byte or the end of the field. 0 when there are no digits.
int ParseDecimalField(const char* field, std::size_t length);
