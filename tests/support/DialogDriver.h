#pragma once

#include "system/OpenFileDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <optional>

// Answers the open-file dialogs of one test: records what each dialog showed when it opened, then
// chooses a file or cancels. Removes itself from the dialog seam when destroyed.
namespace qb::test {

struct DialogSeen
{
    QStringList nameFilters;      // as handed to the toolkit
    QStringList offeredFilters;   // the texts the user sees in the file-type box
    int selectedFilterIndex = -1; // 0-based, in the file-type box
    QString directory;
    QString windowTitle;
    QWidget* parent = nullptr;
    bool modal = false;
    QFileDialog::FileMode fileMode = QFileDialog::AnyFile;
};

class DialogDriver
{
public:
    enum class Answer
    {
        Cancel,
        Choose,
        ForceAccept
    };

    DialogDriver()
    {
        platform::setOpenFileDialogDriver([this](QFileDialog& dialog) { drive(dialog); });
    }
    ~DialogDriver() { platform::setOpenFileDialogDriver({}); }
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

    // The next dialogs are cancelled.
    void cancel() { m_answer = Answer::Cancel; }
    // The next dialogs choose `path` the way a user does (checked by the dialog).
    void choose(const QString& path)
    {
        m_answer = Answer::Choose;
        m_path = path;
    }
    // The next dialogs end as accepted with `path` typed in, skipping the dialog's own checks.
    void forceAccept(const QString& path)
    {
        m_answer = Answer::ForceAccept;
        m_path = path;
    }

    int dialogsShown() const { return m_seen.size(); }
    const DialogSeen& last() const { return m_seen.last(); }

private:
    void drive(QFileDialog& dialog)
    {
        DialogSeen seen;
        seen.nameFilters = dialog.nameFilters();
        if (auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
            for (int i = 0; i < types->count(); ++i)
                seen.offeredFilters << types->itemText(i);
            seen.selectedFilterIndex = types->currentIndex();
        }
        seen.directory = dialog.directory().absolutePath();
        seen.windowTitle = dialog.windowTitle();
        seen.parent = dialog.parentWidget();
        seen.modal = dialog.isModal() && dialog.isVisible();
        seen.fileMode = dialog.fileMode();
        m_seen << seen;

        switch (m_answer) {
        case Answer::Cancel:
            dialog.reject();
            break;
        case Answer::Choose:
            dialog.selectFile(m_path);
            static_cast<QDialog&>(dialog).accept(); // QFileDialog's own, which checks the file
            break;
        case Answer::ForceAccept:
            dialog.selectFile(m_path);
            static_cast<QDialog&>(dialog).done(QDialog::Accepted);
            break;
        }
    }

    Answer m_answer = Answer::Cancel;
    QString m_path;
    QList<DialogSeen> m_seen;
};

} // namespace qb::test
