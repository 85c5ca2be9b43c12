#pragma once

#include "dialogs/OpenFileDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <optional>
#include <utility>

// Answers the open-file dialogs of one test: records what each dialog showed when it opened, then
// chooses a file or cancels. Hand it to whatever shows the dialog in place of the modal host.
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

class DialogDriver final : public platform::FileDialogHost
{
public:
    enum class Answer
    {
        Cancel,
        Choose,
        ForceAccept
    };

    DialogDriver() = default;
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

    int exec(QFileDialog& dialog) override
    {
        // Queued before exec(), so it runs inside the dialog's own event loop once it is shown.
        QTimer::singleShot(0, &dialog, [this, &dialog] { drive(dialog); });
        return dialog.exec();
    }

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

// A dialog host that hands each dialog, once it runs, to a test's own function.
class DialogCallback final : public platform::FileDialogHost
{
public:
    explicit DialogCallback(std::function<void(QFileDialog&)> onShown) : m_onShown(std::move(onShown)) {}
    int exec(QFileDialog& dialog) override
    {
        QTimer::singleShot(0, &dialog, [this, &dialog] { m_onShown(dialog); });
        return dialog.exec();
    }

private:
    std::function<void(QFileDialog&)> m_onShown;
};

} // namespace qb::test
