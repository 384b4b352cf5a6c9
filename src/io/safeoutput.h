// Where a writer puts a file so that a failed save never damages what stood there before:
// beside a regular (or missing) target, a new temporary file in the same folder that takes
// the target's place only when it is complete; anything else (a device, a FIFO) is written
// in place and never removed. Symbolic links are followed: the file they name is replaced
// and the link stays.
#pragma once

#include <QString>

class SafeOutput {
public:
    explicit SafeOutput(const QString& fileName);
    ~SafeOutput(); // removes a temporary file that was not committed
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;

    // False when nothing can be written: no temporary file could be made beside the target,
    // or the target exists and may not be written.
    bool ok() const { return ok_; }
    // The file to open for writing (with truncation).
    const QString& path() const { return path_; }
    // Puts the written file in the target's place (with the old file's permissions); true
    // when it stands there. Call once, after the writer has closed the file.
    bool commit();

private:
    QString target_; // the file that is replaced, links resolved
    QString path_;
    bool temporary_ = false;
    bool ok_ = false;
};
