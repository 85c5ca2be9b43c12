#pragma once

#include <QByteArray>
#include <QString>

namespace qb::test {

// Sends what the process writes to standard error (file descriptor 2, so libraries' notes too) into
// the file `path` for as long as it lives; the earlier standard error is restored after. One at a
// time; the thread that makes it, while other threads write nothing there that matters.
class StandardErrorCapture
{
public:
    explicit StandardErrorCapture(const QString& path);
    ~StandardErrorCapture();
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    // What was written so far.
    QByteArray text() const;

private:
    QString m_path;
    int m_saved = -1;
};

} // namespace qb::test
