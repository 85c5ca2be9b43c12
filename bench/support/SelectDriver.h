#pragma once

#include "dialogs/OpenFileDialog.h"

#include <QDialog>
#include <QFileDialog>
#include <QTimer>
#include <chrono>

namespace qb::bench {

// Answers the Select dialog as a user who picks `path` and confirms would, and notes the moment of
// the confirmation. Hand it to the window in place of the modal host.
class SelectDriver final : public platform::FileDialogHost
{
public:
    SelectDriver() = default;
    SelectDriver(const SelectDriver&) = delete;
    SelectDriver& operator=(const SelectDriver&) = delete;

    void choose(const QString& path) { m_path = path; }
    std::chrono::steady_clock::time_point confirmedAt() const { return m_confirmedAt; }

    int exec(QFileDialog& dialog) override
    {
        QTimer::singleShot(0, &dialog, [this, &dialog] {
            dialog.selectFile(m_path);
            m_confirmedAt = std::chrono::steady_clock::now();
            static_cast<QDialog&>(dialog).accept();
        });
        return dialog.exec();
    }

private:
    QString m_path;
    std::chrono::steady_clock::time_point m_confirmedAt;
};

} // namespace qb::bench
