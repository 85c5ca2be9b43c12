#include "dialogs/OpenFileDialog.h"

#include "ForeignNames.h"
#include "system/CodePage.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QStringList>
#include <algorithm>
#include <cstring>
#include <utility>

namespace qb::platform {
namespace {

class ModalHost final : public FileDialogHost
{
public:
    int exec(QFileDialog& dialog) override { return dialog.exec(); }
};

// The toolkit's dialog, which also offers the files whose names it cannot decode (ForeignNames.h).
class OpenDialog final : public QFileDialog
{
public:
    explicit OpenDialog(QWidget* owner) : QFileDialog(owner) {}

    void setForeignNames(ForeignNamesProxy* proxy) { m_foreign = proxy; }

    // The chosen path, escaped text for a name that is not UTF-8.
    QString chosen() const
    {
        if (!m_typed.isEmpty())
            return m_typed;
        const QStringList files = selectedFiles();
        if (files.isEmpty())
            return {};
        return m_foreign ? resolveForeignName(*m_foreign, files.constFirst()) : files.constFirst();
    }

    // The toolkit checks a chosen file through its own file names and would report one it cannot
    // name as missing; such a file is checked here by its bytes.
    void accept() override
    {
        // The toolkit reads double quotes in the name box as a list of quoted names, and would split a
        // name that holds them: when the text as typed names a file, it is that file.
        if (const QString typed = typedFileWithQuotes(); !typed.isEmpty()) {
            m_typed = typed;
            QDialog::accept();
            return;
        }
        const QStringList files = selectedFiles();
        if (m_foreign && files.size() == 1 && !QFileInfo::exists(files.constFirst()) &&
            isExistingFile(chosen())) {
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }

private:
    // The file the name box's text names as typed, when that text holds a double quote; empty else.
    QString typedFileWithQuotes() const
    {
        const auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (edit == nullptr || !edit->text().contains(QLatin1Char('"')))
            return {};
        const QString path = directory().absoluteFilePath(edit->text());
        return QFileInfo(path).isFile() ? path : QString();
    }

    ForeignNamesProxy* m_foreign = nullptr;
    QString m_typed; // the file typedFileWithQuotes() found at accept
};

// "*.*" means every file on the platform this record comes from, names without a dot included.
QString toQtPattern(QString pattern)
{
    pattern = pattern.trimmed();
    return pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern;
}

struct NameFilter
{
    QString description; // what the user sees
    QString qtFilter;    // description plus the patterns in Qt's form
};

// One Qt name filter per description/pattern pair. The patterns go into a trailing group that
// HideNameFilterDetails keeps out of sight, so the user sees each description exactly as given.
QList<NameFilter> toNameFilters(const char* filter)
{
    QList<NameFilter> nameFilters;
    if (filter == nullptr)
        return nameFilters;
    while (*filter != '\0') {
        const char* description = filter;
        const char* patterns = description + std::strlen(description) + 1;
        if (*patterns == '\0')
            break; // a description without patterns ends the list
        QStringList qtPatterns;
        for (const QString& p : QString::fromUtf8(patterns).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            if (!p.trimmed().isEmpty())
                qtPatterns << toQtPattern(p);
        }
        const QString text = QString::fromUtf8(description).trimmed();
        nameFilters << NameFilter{text, text + QStringLiteral(" (") + qtPatterns.join(QLatin1Char(' ')) +
                                            QLatin1Char(')')};
        filter = patterns + std::strlen(patterns) + 1;
    }
    return nameFilters;
}

// 1-based, 0 when `selected` is none of them. The toolkit reports the filter either in full or as
// its visible description, depending on its options.
std::uint32_t filterIndexOf(const QList<NameFilter>& nameFilters, const QString& selected)
{
    for (qsizetype i = 0; i < nameFilters.size(); ++i) {
        if (nameFilters.at(i).qtFilter == selected || nameFilters.at(i).description == selected)
            return static_cast<std::uint32_t>(i + 1);
    }
    return 0;
}

std::uint16_t toOffset(qsizetype offset)
{
    return static_cast<std::uint16_t>(std::min<qsizetype>(offset, 0xFFFF));
}

void writeResult(OPENFILENAMEA& ofn, const QByteArray& path)
{
    std::memcpy(ofn.lpstrFile, path.constData(), static_cast<std::size_t>(path.size()));
    ofn.lpstrFile[path.size()] = '\0';

    const qsizetype nameAt = path.lastIndexOf('/') + 1;
    const QByteArray name = path.mid(nameAt);
    ofn.nFileOffset = toOffset(nameAt);
    const qsizetype dot = name.lastIndexOf('.');
    if (dot < 0)
        ofn.nFileExtension = toOffset(path.size());
    else if (dot == name.size() - 1)
        ofn.nFileExtension = 0;
    else
        ofn.nFileExtension = toOffset(nameAt + dot + 1);

    if (ofn.lpstrFileTitle != nullptr && ofn.nMaxFileTitle > 0) {
        const bool fits = static_cast<std::size_t>(name.size()) < ofn.nMaxFileTitle;
        const std::size_t count = fits ? static_cast<std::size_t>(name.size()) : 0;
        std::memcpy(ofn.lpstrFileTitle, name.constData(), count);
        ofn.lpstrFileTitle[count] = '\0';
    }
}

} // namespace

FileDialogHost& modalFileDialogHost()
{
    static ModalHost host;
    return host;
}

int GetOpenFileNameA(OPENFILENAMEA* ofn, FileDialogHost& host)
{
    if (ofn == nullptr || ofn->lStructSize < OPENFILENAME_SIZE_VERSION_400A || ofn->lpstrFile == nullptr ||
        ofn->nMaxFile == 0)
        return 0;

    OpenDialog dialog(ofn->hwndOwner);
    if (ofn->lpstrTitle != nullptr)
        dialog.setWindowTitle(QString::fromUtf8(ofn->lpstrTitle));
    dialog.setWindowModality(ofn->hwndOwner != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    // The toolkit's own dialog rather than a desktop's: it honours every setting made here on every
    // desktop, and tests can drive it.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode((ofn->Flags & OFN_FILEMUSTEXIST) != 0 ? QFileDialog::ExistingFile
                                                             : QFileDialog::AnyFile);
    if ((ofn->Flags & OFN_FORCESHOWHIDDEN) != 0)
        dialog.setFilter(dialog.filter() | QDir::Hidden);
    // After the accept mode, which makes the dialog's buttons anew.
    ForeignNamesProxy* const foreign = attachForeignNames(dialog);
    dialog.setForeignNames(foreign);

    const QList<NameFilter> nameFilters = toNameFilters(ofn->lpstrFilter);
    if (!nameFilters.isEmpty()) {
        QStringList qtFilters;
        for (const NameFilter& f : nameFilters)
            qtFilters << f.qtFilter;
        dialog.setNameFilters(qtFilters);
        const auto index = static_cast<qsizetype>(ofn->nFilterIndex);
        dialog.selectNameFilter(qtFilters.at(index >= 1 && index <= qtFilters.size() ? index - 1 : 0));
    }

    const bool hasInitialDir = ofn->lpstrInitialDir != nullptr && *ofn->lpstrInitialDir != '\0';
    dialog.setDirectory(hasInitialDir ? fromAnsi(ofn->lpstrInitialDir) : QDir::currentPath());
    const auto fileBufferEnd = static_cast<const char*>(std::memchr(ofn->lpstrFile, '\0', ofn->nMaxFile));
    if (fileBufferEnd != nullptr && fileBufferEnd != ofn->lpstrFile)
        dialog.selectFile(fromAnsi(ofn->lpstrFile));

    refreshForeignNames(dialog, *foreign);

    if (host.exec(dialog) != QDialog::Accepted)
        return 0;
    const QString chosen = dialog.chosen();
    if (chosen.isEmpty())
        return 0;

    // Escaped text goes through string operations only: the toolkit would turn it into other bytes.
    const QString absolute =
        QDir::cleanPath(QDir::isAbsolutePath(chosen) ? chosen : QDir::current().filePath(chosen));
    const QByteArray path = QByteArray::fromStdString(toAnsi(absolute));
    if (static_cast<std::size_t>(path.size()) >= ofn->nMaxFile)
        return 0;
    writeResult(*ofn, path);
    if (const std::uint32_t filterIndex = filterIndexOf(nameFilters, dialog.selectedNameFilter()))
        ofn->nFilterIndex = filterIndex;
    if ((ofn->Flags & OFN_NOCHANGEDIR) == 0)
        QDir::setCurrent(absolute.left(std::max<qsizetype>(absolute.lastIndexOf(QLatin1Char('/')), 1)));
    return 1;
}

} // namespace qb::platform
