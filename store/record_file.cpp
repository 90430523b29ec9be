#include "store/record_file.h"

#include "store/atomic_file.h"
#include "store/data_lines.h"
#include "store/record_cipher.h"

bool SaveRecordFile(const std::string& path, const std::vector<std::string>& records,
                    const char* passphrase, const HeldLine& held, UserPrompts& prompts) {
    std::vector<std::string> oldLines;
    if (!ReadDataLinesIfAny(path, oldLines)) {
        prompts.ShowNotice(AtomicFile::FailureNotice(path));
        return false;
    }
    std::string content;
    for (const std::string& record : records) {
        AppendDataLine(content, RecordCipher::Encrypt(record.data(), record.size(), passphrase));
    }
    for (const std::string& line : oldLines) {
        if (!held(line)) {
            AppendDataLine(content, line);
        }
    }
    return AtomicFile::Replace(path, content, prompts);
}
