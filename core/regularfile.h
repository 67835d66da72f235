// Reading a regular file without ever waiting on what may have taken its place.
#pragma once

#include <QString>

#include <sys/stat.h>

// A regular file opened for reading, closed when this object goes. The open does not wait (a
// named pipe put in the file's place would wait for a writer), and what was opened is checked
// to be a regular file, so a pipe or device is refused, never read.
class RegularFile {
public:
    enum class Links { Follow, Refuse };

    explicit RegularFile(const QString& path, Links links = Links::Follow);
    ~RegularFile();
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // True when path was opened and is a regular file.
    bool isOpen() const { return m_fd >= 0; }
    // The descriptor; -1 unless isOpen().
    int fd() const { return m_fd; }
    // The open's error number (ENOENT: the file is gone; ELOOP: a refused link); 0 when it
    // opened.
    int openError() const { return m_openError; }
    // It opened, but as something other than a regular file (or could not be asked what).
    bool notRegular() const { return m_notRegular; }
    // What was opened, as fstat gave it; valid when isOpen().
    const struct stat& status() const { return m_status; }

private:
    int m_fd = -1;
    int m_openError = 0;
    bool m_notRegular = false;
    struct stat m_status {};
};
