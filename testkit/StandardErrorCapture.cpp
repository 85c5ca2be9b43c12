#include "testkit/StandardErrorCapture.h"

#include <QFile>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace qb::test {

StandardErrorCapture::StandardErrorCapture(const QString& path) : m_path(path)
{
    std::fflush(stderr);
    m_saved = ::dup(STDERR_FILENO);
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
}

StandardErrorCapture::~StandardErrorCapture()
{
    std::fflush(stderr);
    if (m_saved >= 0) {
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
}

QByteArray StandardErrorCapture::text() const
{
    std::fflush(stderr);
    QFile file(m_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace qb::test
