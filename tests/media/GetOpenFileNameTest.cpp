// The open-file record in and out of the real dialog, answered while it is open.
#include "dialogs/OpenFileDialog.h"
#include "support/DialogDriver.h"
#include "system/CodePage.h"

#include <QAbstractItemView>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace qb::platform;
using qb::test::DialogCallback;
using qb::test::DialogDriver;

namespace {

// "Songs" -> *.mid;*.rmi, "Sounds" -> *.wav, "All" -> *.*, each text with its NUL, plus the end NUL.
const char kFilter[] = "Songs\0*.mid;*.rmi\0Sounds\0*.wav\0All\0*.*\0";

bool touch(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

// Creates the file named by `name`'s bytes in `folder`; the toolkit cannot name it, so removing it
// is the caller's (see ForeignFile).
class ForeignFile
{
public:
    ForeignFile(const QString& folder, const QByteArray& name)
        : m_path(toAnsi(folder) + '/' + name.toStdString())
    {
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        m_ok = fd >= 0 && ::write(fd, "data", 4) == 4;
        if (fd >= 0)
            ::close(fd);
    }
    ~ForeignFile() { ::unlink(m_path.c_str()); }
    ForeignFile(const ForeignFile&) = delete;
    ForeignFile& operator=(const ForeignFile&) = delete;

    bool ok() const { return m_ok; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    bool m_ok = false;
};

// The file view the dialog shows: the list or the details.
QAbstractItemView* visibleView(QFileDialog& dialog)
{
    for (const char* name : {"listView", "treeView"}) {
        auto* view = dialog.findChild<QAbstractItemView*>(QString::fromLatin1(name));
        if (view && view->isVisible())
            return view;
    }
    return nullptr;
}

// The names the dialog's list shows, once all of `wanted` are among them or after a few seconds; `row`
// receives the row of the first.
QStringList listedNames(QFileDialog& dialog, const QStringList& wanted, QModelIndex* row = nullptr)
{
    QAbstractItemView* view = visibleView(dialog);
    QStringList names;
    if (!view)
        return names;
    QDeadlineTimer deadline(5000);
    for (;;) {
        names.clear();
        const QModelIndex root = view->rootIndex();
        for (int r = 0; r < view->model()->rowCount(root); ++r) {
            const QModelIndex index = view->model()->index(r, 0, root);
            names << index.data().toString();
            if (row && names.constLast() == wanted.constFirst())
                *row = index;
        }
        if (std::all_of(wanted.begin(), wanted.end(), [&](const QString& w) { return names.contains(w); }) ||
            deadline.hasExpired())
            return names;
        QTest::qWait(10);
    }
}

QMessageBox* openMessageBox()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

} // namespace

class GetOpenFileNameTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void refusesBadRecordWithoutDialog();
    void fillsPathNameAndOffsets();
    void offsetsOfNamesWithoutExtension_data();
    void offsetsOfNamesWithoutExtension();
    void selectsRequestedFilterAndReportsIt_data();
    void selectsRequestedFilterAndReportsIt();
    void pathLongerThanBufferFails();
    void shortTitleBufferGetsEmptyName();
    void noChangeDirKeepsCurrentFolder();
    void usesGivenCaption();
    void cancelLeavesTheBufferAndTheFolder();
    void refusesMissingFileInsideDialog();
    void acceptsMissingFileWithoutMustExist();
    void aTypedNameWithDoubleQuotesIsOneFile_data();
    void aTypedNameWithDoubleQuotesIsOneFile();
    void listsAndReturnsNamesThatAreNotUtf8_data();
    void listsAndReturnsNamesThatAreNotUtf8();
    void returnsNameThatIsNotUtf8ChosenByPath();
    void doubleClickOnNameThatIsNotUtf8Accepts();
    void namesThatAreNotUtf8FollowTheFolderShown();

private:
    OPENFILENAMEA record(std::uint32_t flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST |
                                               OFN_HIDEREADONLY);

    QString m_startFolder;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DialogDriver> m_driver;
    QByteArray m_initialDir;
    std::array<char, 4096> m_file{};
    std::array<char, 4096> m_title{};
};

void GetOpenFileNameTest::initTestCase()
{
    m_startFolder = QDir::currentPath();
}

void GetOpenFileNameTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_driver = std::make_unique<DialogDriver>();
    m_initialDir = QFile::encodeName(m_dir->path());
    m_file.fill('\0');
    m_title.fill('\0');
}

void GetOpenFileNameTest::cleanup()
{
    m_driver.reset();
    QDir::setCurrent(m_startFolder);
    m_dir.reset();
}

OPENFILENAMEA GetOpenFileNameTest::record(std::uint32_t flags)
{
    OPENFILENAMEA ofn{};
    ofn.lStructSize = 76;
    ofn.lpstrFilter = kFilter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = m_file.data();
    ofn.nMaxFile = static_cast<std::uint32_t>(m_file.size());
    ofn.lpstrFileTitle = m_title.data();
    ofn.nMaxFileTitle = static_cast<std::uint32_t>(m_title.size());
    ofn.lpstrInitialDir = m_initialDir.constData();
    ofn.Flags = flags;
    return ofn;
}

void GetOpenFileNameTest::refusesBadRecordWithoutDialog()
{
    m_driver->cancel();
    QCOMPARE(GetOpenFileNameA(nullptr), 0);
    OPENFILENAMEA ofn = record();
    ofn.lStructSize = 0;
    QCOMPARE(GetOpenFileNameA(&ofn, *m_driver), 0);
    ofn = record();
    ofn.lpstrFile = nullptr;
    QCOMPARE(GetOpenFileNameA(&ofn, *m_driver), 0);
    QCOMPARE(m_driver->dialogsShown(), 0);
}

void GetOpenFileNameTest::fillsPathNameAndOffsets()
{
    QVERIFY(QDir(m_dir->path()).mkdir("dir"));
    const QString file = m_dir->filePath("dir/song.name.mid");
    QVERIFY(touch(file));
    m_driver->choose(file);
    OPENFILENAMEA ofn = record();
    QVERIFY(GetOpenFileNameA(&ofn, *m_driver) != 0);
    const QByteArray path = QFile::encodeName(file);
    QCOMPARE(QByteArray(m_file.data()), path);
    QCOMPARE(QByteArray(m_title.data()), QByteArray("song.name.mid"));
    QCOMPARE(int(ofn.nFileOffset), path.lastIndexOf('/') + 1);
    QCOMPARE(int(ofn.nFileExtension), path.size() - 3);
    QCOMPARE(QDir::currentPath(), m_dir->filePath("dir"));
}

void GetOpenFileNameTest::offsetsOfNamesWithoutExtension_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("endsInDot");
    QTest::newRow("no dot") << "README" << false;
    QTest::newRow("trailing dot") << "song." << true;
}

void GetOpenFileNameTest::offsetsOfNamesWithoutExtension()
{
    QFETCH(QString, name);
    QFETCH(bool, endsInDot);
    QVERIFY(touch(m_dir->filePath(name)));
    m_driver->choose(m_dir->filePath(name));
    OPENFILENAMEA ofn = record();
    ofn.nFilterIndex = 3;
    QVERIFY(GetOpenFileNameA(&ofn, *m_driver) != 0);
    const auto length = static_cast<int>(std::strlen(m_file.data()));
    QCOMPARE(int(ofn.nFileOffset), length - name.size());
    QCOMPARE(int(ofn.nFileExtension), endsInDot ? 0 : length);
}

void GetOpenFileNameTest::selectsRequestedFilterAndReportsIt_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("shown");
    QTest::newRow("first") << 1 << 0;
    QTest::newRow("second") << 2 << 1;
    QTest::newRow("third") << 3 << 2;
    QTest::newRow("zero falls back to the first") << 0 << 0;
    QTest::newRow("past the end falls back to the first") << 9 << 0;
}

void GetOpenFileNameTest::selectsRequestedFilterAndReportsIt()
{
    QFETCH(int, requested);
    QFETCH(int, shown);
    QVERIFY(touch(m_dir->filePath("a.wav")));
    m_driver->choose(m_dir->filePath("a.wav"));
    OPENFILENAMEA ofn = record();
    ofn.nFilterIndex = static_cast<std::uint32_t>(requested);
    QVERIFY(GetOpenFileNameA(&ofn, *m_driver) != 0);
    QCOMPARE(m_driver->last().offeredFilters, QStringList({"Songs", "Sounds", "All"}));
    // Each pair becomes one toolkit filter; "*.*" means every file, names without a dot too.
    QCOMPARE(m_driver->last().nameFilters, QStringList({"Songs (*.mid *.rmi)", "Sounds (*.wav)", "All (*)"}));
    QCOMPARE(m_driver->last().selectedFilterIndex, shown);
    QCOMPARE(int(ofn.nFilterIndex), shown + 1);
}

void GetOpenFileNameTest::pathLongerThanBufferFails()
{
    const QString file = m_dir->filePath("a-rather-long-file-name.mid");
    QVERIFY(touch(file));
    m_driver->choose(file);
    OPENFILENAMEA ofn = record();
    const auto exact = static_cast<std::uint32_t>(QFile::encodeName(file).size());
    ofn.nMaxFile = exact; // no room for the NUL
    std::memset(m_file.data(), 'x', exact);
    QCOMPARE(GetOpenFileNameA(&ofn, *m_driver), 0);
    QCOMPARE(QByteArray(m_file.data(), int(exact)), QByteArray(int(exact), 'x'));
    QCOMPARE(QDir::currentPath(), m_startFolder);

    m_file.fill('\0');
    ofn = record();
    ofn.nMaxFile = exact + 1;
    QVERIFY(GetOpenFileNameA(&ofn, *m_driver) != 0);
    QCOMPARE(QFile::decodeName(m_file.data()), file);
}

void GetOpenFileNameTest::shortTitleBufferGetsEmptyName()
{
    QVERIFY(touch(m_dir->filePath("long-name.mid")));
    m_driver->choose(m_dir->filePath("long-name.mid"));
    OPENFILENAMEA ofn = record();
    m_title.fill('x');
    ofn.nMaxFileTitle = 4;
    QVERIFY(GetOpenFileNameA(&ofn, *m_driver) != 0);
    QCOMPARE(m_title[0], '\0');
    QCOMPARE(m_title[4], 'x');
}

void GetOpenFileNameTest::noChangeDirKeepsCurrentFolder()
{
    QVERIFY(QDir(m_dir->path()).mkdir("elsewhere"));
    QVERIFY(touch(m_dir->filePath("elsewhere/a.mid")));
    m_driver->choose(m_dir->filePath("elsewhere/a.mid"));
    OPENFILENAMEA ofn = record(OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR);
    QVERIFY(GetOpenFileNameA(&ofn, *m_driver) != 0);
    QCOMPARE(QDir::currentPath(), m_startFolder);
}

void GetOpenFileNameTest::usesGivenCaption()
{
    m_driver->cancel();
    OPENFILENAMEA ofn = record();
    ofn.lpstrTitle = "曲を開く";
    QCOMPARE(GetOpenFileNameA(&ofn, *m_driver), 0);
    QCOMPARE(m_driver->last().windowTitle, QStringLiteral("曲を開く"));
}

void GetOpenFileNameTest::cancelLeavesTheBufferAndTheFolder()
{
    m_driver->cancel();
    OPENFILENAMEA ofn = record();
    m_file.fill('x');
    QCOMPARE(GetOpenFileNameA(&ofn, *m_driver), 0);
    QCOMPARE(m_driver->dialogsShown(), 1);
    QCOMPARE(QByteArray(m_file.data(), 16), QByteArray(16, 'x'));
    QCOMPARE(QDir::currentPath(), m_startFolder);
}

void GetOpenFileNameTest::refusesMissingFileInsideDialog()
{
    bool stayedOpen = false;
    QString warning;
    qb::test::DialogCallback host([&](QFileDialog& dialog) {
        // The dialog warns in a message box of its own; answer it from inside its loop.
        QTimer::singleShot(0, [&warning] {
            if (QMessageBox* box = openMessageBox()) {
                warning = box->text();
                box->accept();
            }
        });
        dialog.selectFile(m_dir->filePath("missing.mid"));
        static_cast<QDialog&>(dialog).accept();
        stayedOpen = dialog.isVisible();
        dialog.reject();
    });
    OPENFILENAMEA ofn = record();
    QCOMPARE(GetOpenFileNameA(&ofn, host), 0);
    QVERIFY(stayedOpen);
    QVERIFY(warning.contains(QLatin1String("missing.mid")));
    QCOMPARE(m_file[0], '\0');
}

void GetOpenFileNameTest::aTypedNameWithDoubleQuotesIsOneFile_data()
{
    QTest::addColumn<bool>("absolute");
    QTest::newRow("name") << false;
    QTest::newRow("path") << true;
}

// The toolkit reads double quotes in the name box as a list of quoted names; for one file to open, a
// name that holds them is the file it names when that file is there.
void GetOpenFileNameTest::aTypedNameWithDoubleQuotesIsOneFile()
{
    QFETCH(bool, absolute);
    const QString name = QStringLiteral("say \"hi\" twice.mid");
    const QString file = m_dir->filePath(name);
    QVERIFY(touch(file));
    bool stayedOpen = false;
    qb::test::DialogCallback host([&](QFileDialog& dialog) {
        auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!edit)
            return dialog.reject();
        edit->setText(absolute ? file : name);
        QTimer::singleShot(0, [] {
            if (QMessageBox* box = openMessageBox())
                box->accept();
        });
        static_cast<QDialog&>(dialog).accept();
        stayedOpen = dialog.isVisible();
        if (stayedOpen)
            dialog.reject();
    });
    OPENFILENAMEA ofn = record(OFN_FILEMUSTEXIST);
    QCOMPARE(GetOpenFileNameA(&ofn, host), 1);
    QVERIFY(!stayedOpen);
    QCOMPARE(QByteArray(m_file.data()), QFile::encodeName(file));
    QCOMPARE(QByteArray(m_title.data()), QFile::encodeName(name));
}

void GetOpenFileNameTest::acceptsMissingFileWithoutMustExist()
{
    m_driver->choose(m_dir->filePath("new.mid"));
    OPENFILENAMEA ofn = record(OFN_EXPLORER);
    QVERIFY(GetOpenFileNameA(&ofn, *m_driver) != 0);
    QCOMPARE(QFile::decodeName(m_file.data()), m_dir->filePath("new.mid"));
}

void GetOpenFileNameTest::listsAndReturnsNamesThatAreNotUtf8_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("Latin-1") << QByteArray("caf\xe9.mid") << QStringLiteral("café.mid");
    QTest::newRow("Shift_JIS") << QByteArray("\x83\x8b\x81\x5b\x83\x76.mid") << QStringLiteral("ループ.mid");
}

void GetOpenFileNameTest::listsAndReturnsNamesThatAreNotUtf8()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, shown);
    const ForeignFile file(m_dir->path(), name);
    QVERIFY(file.ok());
    const ForeignFile sound(m_dir->path(), QByteArray("caf\xe9.wav")); // not a song: filtered out
    QVERIFY(sound.ok());
    QVERIFY(touch(m_dir->filePath("plain.mid")));

    QStringList listed;
    QString nameBox;
    bool openEnabled = false;
    DialogCallback host([&](QFileDialog& dialog) {
        QModelIndex row;
        listed = listedNames(dialog, {shown, QStringLiteral("plain.mid")}, &row);
        QAbstractItemView* view = visibleView(dialog);
        if (!row.isValid() || !view) {
            dialog.reject();
            return;
        }
        dialog.activateWindow();
        if (!QTest::qWaitForWindowActive(&dialog)) {
            dialog.reject();
            return;
        }
        view->setFocus(); // as a click in the list moves it there
        view->selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect |
                                                         QItemSelectionModel::Rows);
        if (auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            nameBox = edit->text();
        if (auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))) {
            QPushButton* open = buttons->button(QDialogButtonBox::Open);
            QDeadlineTimer deadline(2000);
            while (!open->isEnabled() && !deadline.hasExpired())
                QTest::qWait(10);
            openEnabled = open->isEnabled();
        }
        // Should the dialog call the file missing, its warning is answered rather than left blocking.
        QTimer::singleShot(0, [] {
            if (QMessageBox* box = openMessageBox())
                box->accept();
        });
        static_cast<QDialog&>(dialog).accept(); // the dialog's own, which checks the file
        if (dialog.isVisible())
            dialog.reject();
    });
    OPENFILENAMEA ofn = record();
    QCOMPARE(GetOpenFileNameA(&ofn, host), 1);
    QVERIFY2(listed.contains(shown), qPrintable(listed.join(QLatin1Char('|'))));
    QVERIFY(listed.contains(QStringLiteral("plain.mid")));
    QVERIFY(!listed.contains(QStringLiteral("café.wav")));
    QCOMPARE(nameBox, shown);
    QVERIFY(openEnabled);
    QCOMPARE(QByteArray(m_file.data()), QByteArray::fromStdString(file.path()));
    QCOMPARE(QByteArray(m_title.data()), name);
    QCOMPARE(int(ofn.nFileOffset), int(file.path().size()) - name.size());
    QCOMPARE(int(ofn.nFileExtension), int(file.path().size()) - 3);
}

void GetOpenFileNameTest::returnsNameThatIsNotUtf8ChosenByPath()
{
    const ForeignFile file(m_dir->path(), QByteArray("caf\xe9.mid"));
    QVERIFY(file.ok());
    QString warning;
    DialogCallback host([&](QFileDialog& dialog) {
        QTimer::singleShot(0, [&warning] {
            if (QMessageBox* box = openMessageBox()) {
                warning = box->text();
                box->accept();
            }
        });
        // The escaped text of the name, as the program passes such a path around.
        dialog.selectFile(fromAnsi(file.path()));
        static_cast<QDialog&>(dialog).accept();
        if (dialog.isVisible())
            dialog.reject();
    });
    OPENFILENAMEA ofn = record();
    QCOMPARE(GetOpenFileNameA(&ofn, host), 1);
    QCOMPARE(warning, QString());
    QCOMPARE(QByteArray(m_file.data()), QByteArray::fromStdString(file.path()));
}

void GetOpenFileNameTest::doubleClickOnNameThatIsNotUtf8Accepts()
{
    const ForeignFile file(m_dir->path(), QByteArray("\x83\x8b\x81\x5b\x83\x76.mid"));
    QVERIFY(file.ok());
    const QString shown = QStringLiteral("ループ.mid");
    QString folderAfter;
    DialogCallback host([&](QFileDialog& dialog) {
        QModelIndex row;
        listedNames(dialog, {shown}, &row);
        QAbstractItemView* view = visibleView(dialog);
        if (row.isValid() && view) {
            QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(row).center());
            folderAfter = dialog.directory().absolutePath();
        }
        if (dialog.isVisible())
            dialog.reject();
    });
    OPENFILENAMEA ofn = record();
    QCOMPARE(GetOpenFileNameA(&ofn, host), 1);
    QCOMPARE(QByteArray(m_file.data()), QByteArray::fromStdString(file.path()));
    QCOMPARE(folderAfter, QDir(m_dir->path()).absolutePath());
}

void GetOpenFileNameTest::namesThatAreNotUtf8FollowTheFolderShown()
{
    QVERIFY(QDir(m_dir->path()).mkdir("inner"));
    const ForeignFile outer(m_dir->path(), QByteArray("caf\xe9.mid"));
    const ForeignFile inner(m_dir->filePath("inner"), QByteArray("\x83\x8b\x81\x5b\x83\x76.mid"));
    QVERIFY(outer.ok() && inner.ok());
    QStringList before;
    QStringList after;
    DialogCallback host([&](QFileDialog& dialog) {
        before = listedNames(dialog, {QStringLiteral("café.mid"), QStringLiteral("inner")});
        dialog.setDirectory(m_dir->filePath("inner"));
        after = listedNames(dialog, {QStringLiteral("ループ.mid")});
        dialog.reject();
    });
    OPENFILENAMEA ofn = record();
    QCOMPARE(GetOpenFileNameA(&ofn, host), 0);
    QVERIFY2(before.contains(QStringLiteral("café.mid")), qPrintable(before.join(QLatin1Char('|'))));
    QVERIFY(!before.contains(QStringLiteral("ループ.mid")));
    QVERIFY2(after.contains(QStringLiteral("ループ.mid")), qPrintable(after.join(QLatin1Char('|'))));
    QVERIFY(!after.contains(QStringLiteral("café.mid")));
}

QTEST_MAIN(GetOpenFileNameTest)
#include "GetOpenFileNameTest.moc"
