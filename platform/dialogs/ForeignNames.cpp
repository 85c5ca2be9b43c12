#include "ForeignNames.h"

#include "system/CodePage.h"

#include <QAbstractItemView>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTreeView>
#include <algorithm>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace qb::platform {
namespace {

// Marks the extra rows: the toolkit's rows carry its own node pointers.
char kExtraRow;

bool isUtf8(const std::string& bytes)
{
    const QString text = fromAnsi(bytes);
    for (const QChar c : text) {
        if (c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF)
            return false;
    }
    return true;
}

QString spelledOut(const std::string& bytes)
{
    QString out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x") + QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

QList<QRegularExpression> wildcards(const QStringList& patterns)
{
    QList<QRegularExpression> out;
    for (const QString& p : patterns) {
        if (p.trimmed().isEmpty() || p.trimmed() == QLatin1String("*"))
            return {}; // every file
        out << QRegularExpression(QRegularExpression::wildcardToRegularExpression(p.trimmed()),
                                  QRegularExpression::CaseInsensitiveOption);
    }
    return out;
}

class ActivationFilter final : public QObject
{
public:
    ActivationFilter(QFileDialog& dialog, ForeignNamesProxy& proxy, QAbstractItemView& view)
        : QObject(&view), m_dialog(dialog), m_proxy(proxy), m_view(view)
    {
    }

protected:
    // The toolkit would take an extra row for a folder it cannot name and go to the top of the file
    // system; a double click or Enter on one accepts the dialog instead, as for any file.
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonDblClick && watched == m_view.viewport()) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            const QModelIndex index = m_view.indexAt(mouse->position().toPoint());
            if (m_proxy.isExtra(index)) {
                choose(index);
                return true;
            }
        } else if (event->type() == QEvent::KeyPress && watched == &m_view) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if ((key == Qt::Key_Return || key == Qt::Key_Enter) && m_proxy.isExtra(m_view.currentIndex())) {
                choose(m_view.currentIndex());
                return true;
            }
        }
        return false;
    }

private:
    void choose(const QModelIndex& index)
    {
        if (auto* edit = m_dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            edit->setText(index.data().toString());
        static_cast<QDialog&>(m_dialog).accept(); // the dialog's own, which checks the file
    }

    QFileDialog& m_dialog;
    ForeignNamesProxy& m_proxy;
    QAbstractItemView& m_view;
};

// The toolkit re-checks its Open button on many occasions (typing, selection, folder loading) and
// disables it for a name its model lacks; whenever that happens to a name of an extra row, the
// button is enabled again once the toolkit's handlers are done.
class OpenButtonGuard final : public QObject
{
public:
    OpenButtonGuard(const ForeignNamesProxy& proxy, QLineEdit* edit, QPushButton& button)
        : QObject(&button), m_proxy(proxy), m_edit(edit), m_button(button)
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &m_button && event->type() == QEvent::EnabledChange && !m_button.isEnabled() &&
            m_edit && m_proxy.find(m_edit->text())) {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (m_edit && m_proxy.find(m_edit->text()))
                        m_button.setEnabled(true);
                },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    const ForeignNamesProxy& m_proxy;
    QLineEdit* m_edit;
    QPushButton& m_button;
};

} // namespace

ForeignNamesProxy::ForeignNamesProxy(QObject* parent) : QIdentityProxyModel(parent) {}

int ForeignNamesProxy::sourceRows() const
{
    return m_sourceFolder.isValid() ? sourceModel()->rowCount(m_sourceFolder) : 0;
}

QModelIndex ForeignNamesProxy::folderIndex() const
{
    return m_sourceFolder.isValid() ? mapFromSource(m_sourceFolder) : QModelIndex();
}

bool ForeignNamesProxy::isExtra(const QModelIndex& proxyIndex) const
{
    return proxyIndex.isValid() && proxyIndex.model() == this && proxyIndex.internalPointer() == &kExtraRow;
}

void ForeignNamesProxy::show(const QString& folder, const QStringList& patterns, bool hidden)
{
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    if (!files)
        return;
    if (!m_entries.isEmpty()) {
        const int first = sourceRows();
        beginRemoveRows(folderIndex(), first, first + static_cast<int>(m_entries.size()) - 1);
        m_entries.clear();
        endRemoveRows();
    }
    m_folder = folder;
    m_sourceFolder = files->index(folder);
    if (!m_sourceFolder.isValid())
        return;

    const std::string native = toAnsi(folder);
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(native.c_str()), &::closedir);
    if (!dir)
        return;
    const QList<QRegularExpression> filters = wildcards(patterns);
    QList<Entry> found;
    QSet<QString> taken;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (isUtf8(name) || (!hidden && name.front() == '.'))
            continue;
        struct stat st
        {
        };
        if (::stat((native + '/' + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        Entry entry;
        entry.display = readableName(name);
        entry.name = fromAnsi(name);
        entry.size = st.st_size;
        entry.modified = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec);
        if (!filters.isEmpty() &&
            std::none_of(filters.begin(), filters.end(),
                         [&](const QRegularExpression& re) { return re.match(entry.display).hasMatch(); }))
            continue;
        // A readable name that is taken already (by a real file or another entry) would be ambiguous.
        if (taken.contains(entry.display) || QFileInfo::exists(folder + QLatin1Char('/') + entry.display))
            entry.display = spelledOut(name);
        taken.insert(entry.display);
        found << entry;
    }
    if (found.isEmpty())
        return;
    std::sort(found.begin(), found.end(),
              [](const Entry& a, const Entry& b) { return a.display.localeAwareCompare(b.display) < 0; });
    const int first = sourceRows();
    beginInsertRows(folderIndex(), first, first + static_cast<int>(found.size()) - 1);
    m_entries = std::move(found);
    endInsertRows();
}

const ForeignNamesProxy::Entry* ForeignNamesProxy::find(const QString& displayOrName) const
{
    for (const Entry& e : m_entries) {
        if (e.display == displayOrName || e.name == displayOrName)
            return &e;
    }
    return nullptr;
}

QModelIndex ForeignNamesProxy::index(int row, int column, const QModelIndex& parent) const
{
    if (!m_entries.isEmpty() && parent.isValid() && parent == folderIndex()) {
        const int rows = sourceRows();
        if (row >= rows && row < rows + m_entries.size() && column >= 0 && column < columnCount(parent))
            return createIndex(row, column, &kExtraRow);
    }
    return QIdentityProxyModel::index(row, column, parent);
}

QModelIndex ForeignNamesProxy::parent(const QModelIndex& child) const
{
    if (isExtra(child))
        return folderIndex();
    return QIdentityProxyModel::parent(child);
}

QModelIndex ForeignNamesProxy::sibling(int row, int column, const QModelIndex& idx) const
{
    if (!idx.isValid())
        return {};
    return index(row, column, parent(idx));
}

int ForeignNamesProxy::rowCount(const QModelIndex& parent) const
{
    if (isExtra(parent))
        return 0;
    const int rows = QIdentityProxyModel::rowCount(parent);
    if (!m_entries.isEmpty() && parent.isValid() && parent == folderIndex())
        return rows + static_cast<int>(m_entries.size());
    return rows;
}

bool ForeignNamesProxy::hasChildren(const QModelIndex& parent) const
{
    if (isExtra(parent))
        return false;
    return QIdentityProxyModel::hasChildren(parent) || (!m_entries.isEmpty() && parent == folderIndex());
}

QModelIndex ForeignNamesProxy::mapToSource(const QModelIndex& proxyIndex) const
{
    if (isExtra(proxyIndex))
        return {};
    return QIdentityProxyModel::mapToSource(proxyIndex);
}

QVariant ForeignNamesProxy::data(const QModelIndex& index, int role) const
{
    if (!isExtra(index))
        return QIdentityProxyModel::data(index, role);
    const Entry& e = m_entries.at(index.row() - sourceRows());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case 0:
            return e.display;
        case 1:
            return QLocale().formattedDataSize(e.size);
        case 2:
            return QFileIconProvider().type(QFileInfo(e.display));
        case 3:
            return QLocale().toString(e.modified, QLocale::ShortFormat);
        default:
            return {};
        }
    case Qt::DecorationRole:
        return index.column() == 0 ? QVariant(QFileIconProvider().icon(QFileIconProvider::File)) : QVariant();
    case Qt::TextAlignmentRole:
        return index.column() == 1 ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    case QFileSystemModel::FilePathRole:
        return m_folder + QLatin1Char('/') + e.name;
    case QFileSystemModel::FileNameRole:
        return e.display;
    default:
        return {};
    }
}

Qt::ItemFlags ForeignNamesProxy::flags(const QModelIndex& index) const
{
    if (isExtra(index))
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    return QIdentityProxyModel::flags(index);
}

ForeignNamesProxy* attachForeignNames(QFileDialog& dialog)
{
    auto* proxy = new ForeignNamesProxy(&dialog);
    dialog.setProxyModel(proxy);
    const auto refresh = [&dialog, proxy] { refreshForeignNames(dialog, *proxy); };
    // Every way of changing folder (typing, the side bar, back, up) ends in the model's root path.
    if (auto* files = qobject_cast<QFileSystemModel*>(proxy->sourceModel()))
        QObject::connect(files, &QFileSystemModel::rootPathChanged, proxy, refresh);
    QObject::connect(&dialog, &QFileDialog::directoryEntered, proxy, refresh);
    QObject::connect(&dialog, &QFileDialog::filterSelected, proxy, refresh);

    // The toolkit ignores a selection it cannot map to a file and disables Open for a name its
    // model does not hold; these run after its own handlers and put both right for the extra rows.
    auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    const auto enableOpen = [proxy, edit, buttons] {
        if (!edit || !buttons)
            return;
        if (QPushButton* open = buttons->button(QDialogButtonBox::Open); open && proxy->find(edit->text()))
            open->setEnabled(true);
    };
    if (edit)
        QObject::connect(edit, &QLineEdit::textChanged, proxy, enableOpen);
    if (buttons) {
        if (QPushButton* open = buttons->button(QDialogButtonBox::Open))
            open->installEventFilter(new OpenButtonGuard(*proxy, edit, *open));
    }
    for (const char* name : {"listView", "treeView"}) {
        auto* view = dialog.findChild<QAbstractItemView*>(QString::fromLatin1(name));
        if (!view)
            continue;
        auto* filter = new ActivationFilter(dialog, *proxy, *view);
        view->viewport()->installEventFilter(filter);
        view->installEventFilter(filter);
        QObject::connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, proxy,
                         [proxy, view, edit, enableOpen] {
                             const QModelIndexList rows = view->selectionModel()->selectedRows();
                             if (rows.size() == 1 && proxy->isExtra(rows.first()) && edit &&
                                 !edit->hasFocus()) {
                                 edit->setText(rows.first().data().toString());
                                 enableOpen();
                             }
                         });
    }
    return proxy;
}

void refreshForeignNames(QFileDialog& dialog, ForeignNamesProxy& proxy)
{
    // The toolkit's model holds the patterns of the filter in use, whatever form the dialog shows.
    const auto* files = qobject_cast<const QFileSystemModel*>(proxy.sourceModel());
    proxy.show(dialog.directory().absolutePath(), files ? files->nameFilters() : QStringList(),
               dialog.filter().testFlag(QDir::Hidden));
}

QString resolveForeignName(const ForeignNamesProxy& proxy, const QString& chosen)
{
    const qsizetype slash = chosen.lastIndexOf(QLatin1Char('/'));
    const QString folder = slash < 0 ? QString() : chosen.left(slash);
    const QString name = chosen.mid(slash + 1);
    if (QDir::cleanPath(folder.isEmpty() ? QDir::currentPath() : folder) != QDir::cleanPath(proxy.folder()))
        return chosen;
    if (const ForeignNamesProxy::Entry* entry = proxy.find(name))
        return proxy.folder() + QLatin1Char('/') + entry->name;
    return chosen;
}

bool isExistingFile(const QString& path)
{
    struct stat st
    {
    };
    return ::stat(toAnsi(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace qb::platform
