#include "core/regularfile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

RegularFile::RegularFile(const QString& path, Links links)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::Refuse ? O_NOFOLLOW : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0) {
        m_openError = errno;
        return;
    }
    if (::fstat(fd, &m_status) != 0 || !S_ISREG(m_status.st_mode)) {
        m_notRegular = true;
        ::close(fd);
        return;
    }
    m_fd = fd;
}

RegularFile::~RegularFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}
