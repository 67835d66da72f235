// SPDX-License-Identifier: GPL-3.0-or-later
// A file that appears at its path complete or not at all.
#pragma once

#include "pcx.h"

#include <cstdio>
#include <string>

namespace pcx {

// Writes into a temporary file beside the target and renames it over the target on commit().
// Destroyed without a successful commit, it removes the temporary file.
class AtomicFile : public Sink {
public:
    // sync: the data reaches the disk before the rename, so that a crash cannot leave an empty
    // file under the target's name; a scratch copy nobody keeps across a crash may go without.
    explicit AtomicFile(std::string target, bool sync = true);
    ~AtomicFile() override;
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file; false with errorText() set when that fails.
    bool open();
    bool write(const uint8_t* data, size_t n) override;
    bool commit();
    void discard();
    const std::string& errorText() const { return error_; }
    const std::string& temporaryPath() const { return tempPath_; }
    uint64_t written() const { return written_; }

private:
    void release();
    std::string target_;
    std::string tempPath_;
    int fd_ = -1;
    int slot_ = -1;  // where the signal handler finds the temporary file's name
    std::string error_;
    uint64_t written_ = 0;
    bool sync_ = true;
};

}  // namespace pcx
