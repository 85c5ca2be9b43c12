// The per-user settings store on QSettings: where it keeps its file, round trips, missing keys, and a
// write that fails without harming what is stored.
#include "system/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

using namespace qb::platform;

namespace {

const QString kApp = QStringLiteral("Quillbeat");
const QString kSection = QStringLiteral("Settings");

// While alive, no file of this process may grow beyond 0 bytes: every write fails with EFBIG, even
// for root, whom permission bits do not stop.
class NoFileWrites
{
public:
    NoFileWrites()
    {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit none = m_saved;
        none.rlim_cur = 0;
        m_ok = ::setrlimit(RLIMIT_FSIZE, &none) == 0;
    }
    ~NoFileWrites()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    NoFileWrites(const NoFileWrites&) = delete;
    NoFileWrites& operator=(const NoFileWrites&) = delete;
    bool ok() const { return m_ok; }

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_ok = false;
};

} // namespace

class SystemSettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void keepsItsFileInTheXdgConfigFolder()
    {
        const QString config = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"));
        if (config.isEmpty())
            QSKIP("run through ctest, which gives the test a private XDG_CONFIG_HOME");
        QSettingsStore store;
        QCOMPARE(QDir::cleanPath(store.fileFor(kApp)), QDir::cleanPath(config + "/Quillbeat/Quillbeat.ini"));
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("none")));
        QVERIFY(QFile::exists(config + "/Quillbeat/Quillbeat.ini"));
        QCOMPARE(QSettingsStore().GetSetting(kApp, kSection, QStringLiteral("Start")),
                 QStringLiteral("none"));
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("word") << QStringLiteral("none");
        QTest::newRow("empty") << QString();
        QTest::newRow("japanese") << QString::fromUtf8("表示しない");
        QTest::newRow("comma") << QStringLiteral("a, b");
        QTest::newRow("ini syntax") << QStringLiteral("[x]\nk=v;#\"");
        QTest::newRow("blanks") << QStringLiteral("  padded  ");
    }

    void roundTrip()
    {
        QFETCH(QString, value);
        QTemporaryDir dir;
        QSettingsStore store(dir.filePath(QStringLiteral("s.ini")));
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), value));
        // A new store reads the file afresh, as the next start of the program does.
        QCOMPARE(QSettingsStore(dir.filePath(QStringLiteral("s.ini")))
                     .GetSetting(kApp, kSection, QStringLiteral("Start")),
                 value);
    }

    void missingReadsEmpty()
    {
        QTemporaryDir dir;
        QSettingsStore store(dir.filePath(QStringLiteral("s.ini")));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Other"), QStringLiteral("x")));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
        QCOMPARE(store.GetSetting(kApp, QStringLiteral("Elsewhere"), QStringLiteral("Other")), QString());
        QCOMPARE(store.GetSetting(QStringLiteral("NoSuchApp"), kSection, QStringLiteral("Other")),
                 QStringLiteral("x")); // one file for every application when a path is given
    }

    void handEditedValueWithCommaReadsAsText()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Settings]\nStart=off, really\n");
        file.close();
        QCOMPARE(QSettingsStore(path).GetSetting(kApp, kSection, QStringLiteral("Start")),
                 QStringLiteral("off, really"));
    }

    void writeWhereNoFolderCanBeMadeFails()
    {
        QTemporaryDir dir;
        // A plain file stands where the settings folder would have to be.
        QFile blocker(dir.filePath(QStringLiteral("blocked")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QSettingsStore store(dir.filePath(QStringLiteral("blocked/Quillbeat.ini")));
        QVERIFY(!store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("none")));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
    }

    void failedWriteLeavesOtherSettingsIntact()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        {
            QSettingsStore store(path);
            QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("none")));
            QVERIFY(store.SaveSetting(kApp, QStringLiteral("Other"), QStringLiteral("Key"),
                                      QStringLiteral("kept")));
        }
        QFile before(path);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray contentBefore = before.readAll();
        before.close();

        bool saved = true;
        {
            NoFileWrites guard;
            if (!guard.ok())
                QSKIP("cannot limit file sizes here");
            saved = QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("New"),
                                                     QStringLiteral("lost"));
        }
        QVERIFY(!saved);

        QFile after(path);
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), contentBefore);
        QSettingsStore fresh(path);
        QCOMPARE(fresh.GetSetting(kApp, kSection, QStringLiteral("Start")), QStringLiteral("none"));
        QCOMPARE(fresh.GetSetting(kApp, QStringLiteral("Other"), QStringLiteral("Key")),
                 QStringLiteral("kept"));
        // The refused value is not reported as stored either.
        QCOMPARE(fresh.GetSetting(kApp, kSection, QStringLiteral("New")), QString());
        // And once writing works again, the store works again.
        QVERIFY(fresh.SaveSetting(kApp, kSection, QStringLiteral("New"), QStringLiteral("now")));
        QCOMPARE(QSettingsStore(path).GetSetting(kApp, kSection, QStringLiteral("Start")),
                 QStringLiteral("none"));
    }

    void failedWriteInReadOnlyFolder()
    {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders; the file-size limit case covers this");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QVERIFY(QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("Start"),
                                                 QStringLiteral("none")));
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
        const bool saved =
            QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("x"));
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!saved);
        QCOMPARE(QSettingsStore(path).GetSetting(kApp, kSection, QStringLiteral("Start")),
                 QStringLiteral("none"));
    }

    void memoryStore()
    {
        MemorySettingsStore store;
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("none")));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QStringLiteral("none"));
        QCOMPARE(store.GetSetting(kApp, QStringLiteral("SettingsStart"), QString()), QString());
        store.setWritable(false);
        QVERIFY(!store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("other")));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QStringLiteral("none"));
        QCOMPARE(store.saveCount(), 2);
    }
};

QTEST_GUILESS_MAIN(SystemSettingsStoreTest)
#include "SystemSettingsStoreTest.moc"
