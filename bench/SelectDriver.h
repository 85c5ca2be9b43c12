#pragma once

#include "system/OpenFileDialog.h"

#include <QDialog>
#include <QFileDialog>

#include <chrono>

namespace qb::bench {

// Answers the Select dialog as a user who picks `path` and confirms would, and notes the moment of
// the confirmation. Removes itself from the dialog seam when destroyed.
class SelectDriver
{
public:
    SelectDriver()
    {
        platform::setOpenFileDialogDriver([this](QFileDialog& dialog) {
            dialog.selectFile(m_path);
            m_confirmedAt = std::chrono::steady_clock::now();
            static_cast<QDialog&>(dialog).accept();
        });
    }
    ~SelectDriver() { platform::setOpenFileDialogDriver({}); }
    SelectDriver(const SelectDriver&) = delete;
    SelectDriver& operator=(const SelectDriver&) = delete;

    void choose(const QString& path) { m_path = path; }
    std::chrono::steady_clock::time_point confirmedAt() const { return m_confirmedAt; }

private:
    QString m_path;
    std::chrono::steady_clock::time_point m_confirmedAt;
};

} // namespace qb::bench
