#pragma once

#include <QDateTime>
#include <QIdentityProxyModel>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QFileDialog;

namespace qb::platform {

// The toolkit's file model leaves out every file whose name is not valid UTF-8 (it cannot decode
// it), so old files named in Latin-1 or Shift_JIS could not be chosen. This proxy, set on the open
// dialog, adds such files of the folder being shown as extra rows after the toolkit's own:
// regular files (symbolic links followed) that pass the dialog's name filter and hidden-file setting.
// Folders with such names are not listed: the toolkit could not show their contents anyway.
//
// Each extra row shows a readable name (the bytes read as code page 932, else as Latin-1; the
// spelled-out bytes when that name is taken) and stands for the escaped text of its real name
// (platform::fromAnsi), which converts back to the exact bytes. GUI thread only.
class ForeignNamesProxy final : public QIdentityProxyModel
{
public:
    struct Entry
    {
        QString display; // what the user sees and types
        QString name;    // fromAnsi() of the real name: converts back to its bytes
        qint64 size = 0;
        QDateTime modified;
    };

    explicit ForeignNamesProxy(QObject* parent = nullptr);

    // Lists the extra files of `folder` (the dialog's current folder) that match `patterns`
    // (wildcards, ASCII case ignored; empty: every file).
    void show(const QString& folder, const QStringList& patterns, bool hidden);

    // The entry shown as `display` or named `name` in the folder shown; null when there is none.
    const Entry* find(const QString& displayOrName) const;
    const QString& folder() const { return m_folder; }
    bool isExtra(const QModelIndex& proxyIndex) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    QModelIndex sibling(int row, int column, const QModelIndex& idx) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    bool hasChildren(const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex mapToSource(const QModelIndex& proxyIndex) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    QModelIndex folderIndex() const; // the shown folder, in this model
    int sourceRows() const;

    QString m_folder;
    QPersistentModelIndex m_sourceFolder;
    QList<Entry> m_entries;
};

// Sets the proxy on `dialog` and keeps it in step with the folder the user enters and the name filter
// the user picks; makes the extra rows choosable as the toolkit's own are (a click fills the name box
// and enables Open, a double click or Enter accepts). The dialog must not use the native dialog.
// Returns the proxy, owned by the dialog. Call it after setAcceptMode() (which makes the buttons anew)
// and refreshForeignNames() once the dialog is set up.
ForeignNamesProxy* attachForeignNames(QFileDialog& dialog);
// Lists the extra files for the dialog's current folder, name filter and hidden-file setting.
void refreshForeignNames(QFileDialog& dialog, ForeignNamesProxy& proxy);

// The path the dialog's choice stands for: a name typed or selected from the extra rows becomes
// the escaped text of the real file name. Other paths come back unchanged.
QString resolveForeignName(const ForeignNamesProxy& proxy, const QString& chosen);

// True when `path` (escaped text allowed) names an existing regular file, symbolic links followed.
bool isExistingFile(const QString& path);

} // namespace qb::platform
