// The open-file step through the real dialog, answered by a driver while it is open.
#include "media/OpenDialog.h"

#include "support/DialogDriver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

using qb::media::ShowOpenDialog;
using qb::test::DialogDriver;

namespace {

// Two pairs with Japanese texts, each text followed by one NUL, as a caller writes them.
const QString kFilter = QStringLiteral("曲(*.mid)") + QChar(u'\0') + QStringLiteral("*.mid;*.rmi") +
                        QChar(u'\0') + QStringLiteral("すべて") + QChar(u'\0') + QStringLiteral("*.*") +
                        QChar(u'\0');

bool touch(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

} // namespace

class OpenDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void offersTheGivenFiltersForExistingFilesOnly();
    void opensInGivenFolderModalToOwner();
    void cancelReturnsNothingAndSetsCancelled();
    void choiceReturnsPathAndMovesCurrentFolder();
    void choiceWithJapanesePath();
    void pathTooLongForBufferIsFailure();
    void timersTickWhileOpen();

private:
    QString show(const QString& initialDir);

    QString m_startFolder;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QWidget> m_owner;
    std::unique_ptr<DialogDriver> m_driver;
    bool m_cancelled = false;
};

void OpenDialogTest::initTestCase()
{
    m_startFolder = QDir::currentPath();
}

void OpenDialogTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_owner = std::make_unique<QWidget>();
    m_owner->show();
    m_driver = std::make_unique<DialogDriver>();
}

void OpenDialogTest::cleanup()
{
    m_driver.reset();
    m_owner.reset();
    QDir::setCurrent(m_startFolder);
    m_dir.reset();
}

QString OpenDialogTest::show(const QString& initialDir)
{
    return ShowOpenDialog(m_owner.get(), kFilter, initialDir, m_cancelled, *m_driver);
}

void OpenDialogTest::offersTheGivenFiltersForExistingFilesOnly()
{
    m_driver->cancel();
    show(m_dir->path());
    QCOMPARE(m_driver->dialogsShown(), 1);
    const auto& seen = m_driver->last();
    QCOMPARE(seen.offeredFilters, (QStringList{QStringLiteral("曲(*.mid)"), QStringLiteral("すべて")}));
    QCOMPARE(seen.selectedFilterIndex, 0);
    QCOMPARE(seen.fileMode, QFileDialog::ExistingFile);
    QVERIFY(!seen.windowTitle.isEmpty());
}

void OpenDialogTest::opensInGivenFolderModalToOwner()
{
    QVERIFY(QDir(m_dir->path()).mkdir("start"));
    m_driver->cancel();
    show(m_dir->filePath("start"));
    QCOMPARE(m_driver->last().directory, m_dir->filePath("start"));
    QCOMPARE(m_driver->last().parent, m_owner.get());
    QVERIFY(m_driver->last().modal);
}

void OpenDialogTest::cancelReturnsNothingAndSetsCancelled()
{
    m_cancelled = false;
    m_driver->cancel();
    QCOMPARE(show(m_dir->path()), QString());
    QCOMPARE(m_cancelled, true);
}

void OpenDialogTest::choiceReturnsPathAndMovesCurrentFolder()
{
    QVERIFY(QDir(m_dir->path()).mkpath("music/set"));
    const QString file = m_dir->filePath("music/set/song.mid");
    QVERIFY(touch(file));
    m_cancelled = true;
    m_driver->choose(file);
    QCOMPARE(show(m_dir->path()), file);
    QCOMPARE(m_cancelled, false);
    // The dialog is asked without OFN_NOCHANGEDIR, so the next one starts where this file was.
    QCOMPARE(QDir::currentPath(), m_dir->filePath("music/set"));
}

void OpenDialogTest::choiceWithJapanesePath()
{
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("音楽")));
    const QString file = m_dir->filePath(QStringLiteral("音楽/夜の曲.mp3"));
    QVERIFY(touch(file));
    m_driver->choose(file);
    QCOMPARE(show(m_dir->filePath(QStringLiteral("音楽"))), file);
    QCOMPARE(m_cancelled, false);
}

void OpenDialogTest::pathTooLongForBufferIsFailure()
{
    // 4096 bytes of UTF-8 and more: a choice the dialog could only report by overflowing its buffer.
    QString longPath = m_dir->path();
    while (QFile::encodeName(longPath).size() < 4200)
        longPath += QStringLiteral("/とても長いフォルダの名前");
    longPath += QStringLiteral("/曲.mid");
    m_cancelled = false;
    m_driver->forceAccept(longPath);
    QCOMPARE(show(m_dir->path()), QString());
    QCOMPARE(m_cancelled, true);
}

void OpenDialogTest::timersTickWhileOpen()
{
    // The dialog is closed from a timer of the caller's, which only runs if timers keep ticking
    // while the dialog's own loop is running.
    int ticks = 0;
    QTimer ticker;
    ticker.setInterval(0);
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    qb::test::DialogCallback host([&](QFileDialog& dialog) {
        QObject::connect(&ticker, &QTimer::timeout, &dialog, [&ticks, &dialog] {
            if (ticks >= 10)
                dialog.reject();
        });
        ticker.start();
    });
    ShowOpenDialog(m_owner.get(), kFilter, m_dir->path(), m_cancelled, host);
    ticker.stop();
    QVERIFY(ticks >= 10);
    QCOMPARE(m_cancelled, true);
}

QTEST_MAIN(OpenDialogTest)
#include "OpenDialogTest.moc"
