// The per-user settings store on QSettings: where it keeps its file, round trips, missing keys, files it
// must neither read nor write, and a write that fails without harming what is stored.
#include "system/SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace qb::platform;

namespace {

const QString kApp = QStringLiteral("Quillbeat");
const QString kSection = QStringLiteral("Settings");

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The value as the next start of the program reads it from the file. QSettings keeps what it read or
// wrote of a file for the rest of the process, so a store on the same path may answer from memory; a
// new symbolic link is a file QSettings has not seen, which it parses afresh.
QString readAfresh(const QString& path, const QString& section, const QString& key)
{
    static int links = 0;
    const QString link = QStringLiteral("%1.fresh%2").arg(path).arg(++links);
    if (!QFile::link(path, link))
        return QStringLiteral("(no link)");
    const QString value = QSettingsStore(link).GetSetting(kApp, section, key);
    QFile::remove(link);
    return value;
}

// A device that reads zeros without end. For root it is a node of the test's own: a store that wrongly
// replaced a link's target would otherwise replace the system's /dev/zero, as QSettings does.
QString zeroDevice(const QString& folder)
{
    const QString own = folder + QStringLiteral("/zero");
    if (::geteuid() == 0 && ::mknod(QFile::encodeName(own).constData(), S_IFCHR | 0600, makedev(1, 5)) == 0)
        return own;
    return QStringLiteral("/dev/zero");
}

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
        QCOMPARE(store.fileFor(kApp),
                 QSettings(QSettings::IniFormat, QSettings::UserScope, kApp, kApp).fileName());
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
        QString controls;
        for (char16_t c = 0; c < 0x20; ++c)
            controls += QChar(c) + QStringLiteral("a") + QChar(c) + QStringLiteral("F") + QChar(c) +
                        QStringLiteral("7");
        QTest::newRow("control characters before letters and digits")
            << controls + QChar(0x7F) + QStringLiteral("b");
        QTest::newRow("U+0001 then a letter") << QChar(0x01) + QStringLiteral("b");
        QTest::newRow("DEL") << QStringLiteral("rub") + QChar(0x7F) + QStringLiteral("out");
        QTest::newRow("quotes") << QStringLiteral("\"quoted\" and 'single' \"");
        QTest::newRow("backslashes") << QStringLiteral("C:\\Music\\x41\\0\\");
        QTest::newRow("semicolons and commas") << QStringLiteral(";a; b ,c,, ;");
        QTest::newRow("spaces and tabs around") << QStringLiteral(" \t x \t ");
        QTest::newRow("@ alone") << QStringLiteral("@");
        QTest::newRow("@@") << QStringLiteral("@@at");
        QTest::newRow("@String") << QStringLiteral("@String(x)");
        QTest::newRow("@Variant") << QStringLiteral("@Variant(\\0\\0\\0\\x7f)");
        QTest::newRow("@ByteArray") << QStringLiteral("@ByteArray(x)");
        QTest::newRow("@Invalid") << QStringLiteral("@Invalid()");
        QTest::newRow("percent escapes") << QStringLiteral("%U0041%41%");
        QTest::newRow("Japanese path") << QString::fromUtf8("/home/ユーザー/音色/ＧＭ　音源.sf2");
        QTest::newRow("beyond the BMP") << QString::fromUtf8("\U0001F3B5 曲");
        QTest::newRow("line ends") << QStringLiteral("a\r\nb\n");
        QTest::newRow("a long path") << QStringLiteral("/").repeated(4096);
    }

    // What is saved reads back exactly, at the next start as much as in this run, and the file it is
    // saved in takes the saves that come after it.
    void roundTrip()
    {
        QFETCH(QString, value);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QVERIFY(QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("Start"), value));
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Start")), value);
        QCOMPARE(QSettingsStore(path).GetSetting(kApp, kSection, QStringLiteral("Start")), value);
        QVERIFY(QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("Next"),
                                                 QStringLiteral("later")));
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Start")), value);
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Next")), QStringLiteral("later"));
    }

    void valueThatWouldNotReadBackIsRefused_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("lone surrogate") << QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b");
        QTest::newRow("U+FEFF first") << QChar(0xFEFF) + QStringLiteral("x");
        QTest::newRow("U+FEFF after an escape")
            << QStringLiteral("\x01") + QChar(0xFEFF) + QStringLiteral("z");
        QTest::newRow("too long for the file") << QString(QSettingsStore::kMaxFileSize, QLatin1Char('x'));
    }

    void valueThatWouldNotReadBackIsRefused()
    {
        QFETCH(QString, value);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QSettingsStore store(path);
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("kept")));
        QVERIFY(!store.SaveSetting(kApp, kSection, QStringLiteral("Start"), value));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QStringLiteral("kept"));
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Start")), QStringLiteral("kept"));
    }

    void missingReadsEmpty()
    {
        QTemporaryDir dir;
        QSettingsStore store(dir.filePath(QStringLiteral("s.ini")));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Other"), QStringLiteral("x")));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
        QCOMPARE(store.GetSetting(kApp, QStringLiteral("Elsewhere"), QStringLiteral("Other")), QString());
        QCOMPARE(store.GetSetting(kApp, QStringLiteral("SettingsOther"), QString()), QString());
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
        QVERIFY(!readFile(path).contains("lost"));
    }

    void failedWriteInReadOnlyFolder()
    {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders: system_settings_store_test_unprivileged tries this as "
                  "another user");
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

    // Made read-only by its owner, the file stays as it is, also when the program runs as root.
    void readOnlyFileIsLeftUntouched()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        const QByteArray content("[Settings]\nStart=\n");
        QVERIFY(writeFile(path, content));
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        QVERIFY(!QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("Start"),
                                                  QStringLiteral("none")));
        QCOMPARE(readFile(path), content);
        QCOMPARE(QSettingsStore(path).GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
    }

    // A save touches no file but its own: a user's copies beside it, whatever their names, stay as they
    // were, and no file of the save's is left there.
    void savingLeavesTheFilesBesideItAlone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Quillbeat.ini"));
        QVERIFY(writeFile(path, "[Settings]\nStart=\n"));
        const QStringList mine = {QStringLiteral("Quillbeat.ini.backup"),
                                  QStringLiteral("Quillbeat.ini.bak001"),
                                  QStringLiteral("Quillbeat.ini.2024v1"),
                                  QStringLiteral("Quillbeat.ini.XXXXXX"), QStringLiteral("Quillbeat.ini~")};
        for (const QString& name : mine)
            QVERIFY(writeFile(dir.filePath(name), "[Settings]\nStart=" + name.toUtf8() + "\n"));
        QSettingsStore store(path);
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("none")));
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("show")));
        for (const QString& name : mine)
            QCOMPARE(readFile(dir.filePath(name)), "[Settings]\nStart=" + name.toUtf8() + "\n");
        QStringList all = mine;
        all << QStringLiteral("Quillbeat.ini");
        all.sort();
        QCOMPARE(
            QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
            all);
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Start")), QStringLiteral("show"));
    }

    void fileThatIsNotIniTextIsLeftUntouched_data()
    {
        QTest::addColumn<QByteArray>("content");
        QByteArray binary;
        for (int i = 0; i < 512; ++i)
            binary += static_cast<char>((i * 151 + 7) % 256);
        QTest::newRow("binary") << binary;
        QTest::newRow("not UTF-8") << QByteArray("[Settings]\nStart=caf\xe9\n");
        QTest::newRow("NUL byte") << QByteArray("[Settings]\nStart=no\0ne\n", 23);
        QTest::newRow("line that is no INI") << QByteArray("[Settings]\nStart=none\nthis is not a setting\n");
        QTest::newRow("'#' comment") << QByteArray("# mine\n[Settings]\nStart=none\n");
        QTest::newRow("control character") << QByteArray("[Settings]\nStart=a\001b\n");
        QTest::newRow("cut in a character") << QByteArray("[Settings]\nStart=\xe8\xa1");
        QTest::newRow("prose") << QByteArray("Dear diary,\ntoday I set up my music player.\n");
    }

    void fileThatIsNotIniTextIsLeftUntouched()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QVERIFY(writeFile(path, content));
        QVERIFY(
            !QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("x")));
        QCOMPARE(readFile(path), content);
    }

    // Opening a FIFO would wait for a writer for ever, reading /dev/zero would never end.
    void specialFileIsNeitherReadNorWritten_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << QStringLiteral("fifo");
        QTest::newRow("link to /dev/zero") << QStringLiteral("zero");
        QTest::newRow("folder") << QStringLiteral("folder");
    }

    void specialFileIsNeitherReadNorWritten()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        if (kind == QLatin1String("fifo"))
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (kind == QLatin1String("zero"))
            QVERIFY(QFile::link(zeroDevice(dir.path()), path));
        else
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("s.ini")));
        const QFileInfo before(path);
        QSettingsStore store(path);
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
        QVERIFY(!store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("none")));
        const QFileInfo after(path);
        QCOMPARE(after.isSymLink(), before.isSymLink());
        QVERIFY(!after.isFile());
        QCOMPARE(after.isDir(), before.isDir());
    }

    void fileLargerThanTheLimitIsNeitherReadNorWritten()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QByteArray content("[Settings]\nStart=none\n");
        content += QByteArray(QSettingsStore::kMaxFileSize - content.size() - 1, ';') + '\n';
        QVERIFY(writeFile(path, content));
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Start")), QStringLiteral("none"));

        content += '\n';
        QVERIFY(writeFile(path, content));
        QCOMPARE(QSettingsStore(path).GetSetting(kApp, kSection, QStringLiteral("Start")), QString());
        QVERIFY(
            !QSettingsStore(path).SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("x")));
        QCOMPARE(readFile(path), content);
    }

    // Saving rewrites the file in QSettings' own form: comments and order go, the values stay.
    void savingAHandEditedFileKeepsItsValues()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QVERIFY(writeFile(path, "; my settings, edited by hand\n"
                                "[Settings]\n"
                                "; show the tip at start?\n"
                                "Start = none\n"
                                "\n"
                                "[Other]\n"
                                "Key=kept ; a note\n"));
        QSettingsStore store(path);
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("show")));
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Added"), QStringLiteral("a, b")));
        QVERIFY(store.SaveSetting(kApp, QStringLiteral("New"), QStringLiteral("K"), QStringLiteral("v")));
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Start")), QStringLiteral("show"));
        QCOMPARE(readAfresh(path, QStringLiteral("Other"), QStringLiteral("Key")), QStringLiteral("kept"));
        QCOMPARE(readAfresh(path, kSection, QStringLiteral("Added")), QStringLiteral("a, b"));
        QCOMPARE(readAfresh(path, QStringLiteral("New"), QStringLiteral("K")), QStringLiteral("v"));
    }

    // The file on disk is replaced whole by a rename, never rewritten in place.
    void savingReplacesTheFileByRename()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        QSettingsStore store(path);
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("none")));
        const int holder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(holder >= 0);
        QVERIFY(store.SaveSetting(kApp, kSection, QStringLiteral("Start"), QStringLiteral("show")));
        // The old file, still open here, is whole and unchanged.
        char buffer[256] = {};
        const ssize_t n = ::read(holder, buffer, sizeof buffer - 1);
        ::close(holder);
        QCOMPARE(QByteArray(buffer, n > 0 ? int(n) : 0), QByteArray("[Settings]\nStart=none\n"));
        QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("Start")), QStringLiteral("show"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("s.ini")});
    }

    void settingsFileBehindALinkStaysWhereItIs()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dotfiles")));
        const QString target = dir.filePath(QStringLiteral("dotfiles/s.ini"));
        const QString link = dir.filePath(QStringLiteral("s.ini"));
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Settings]\nStart=none\n");
        file.close();
        QVERIFY(QFile::link(target, link));
        QVERIFY(QSettingsStore(link).SaveSetting(kApp, kSection, QStringLiteral("Start"),
                                                 QStringLiteral("show")));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("[Settings]\nStart=show\n"));
    }

    void readsWhatQSettingsWrote()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.ini"));
        const QStringList values{QStringLiteral("none"),        QString::fromUtf8("表示しない"),
                                 QStringLiteral("a, b"),        QStringLiteral("[x]\nk=v;#\""),
                                 QStringLiteral("  padded  "),  QStringLiteral("@at"),
                                 QStringLiteral("back\\slash"), QString()};
        {
            QSettings settings(path, QSettings::IniFormat);
            for (qsizetype i = 0; i < values.size(); ++i)
                settings.setValue(QStringLiteral("Settings/k%1").arg(i), values.at(i));
            settings.setValue(QStringLiteral("General/g"), QStringLiteral("general"));
            settings.setValue(QStringLiteral("Sp ace/k ey"), QStringLiteral("spaced"));
        }
        QSettingsStore store(path);
        for (qsizetype i = 0; i < values.size(); ++i)
            QCOMPARE(store.GetSetting(kApp, kSection, QStringLiteral("k%1").arg(i)), values.at(i));
        QCOMPARE(store.GetSetting(kApp, QStringLiteral("General"), QStringLiteral("g")),
                 QStringLiteral("general"));
        QCOMPARE(store.GetSetting(kApp, QStringLiteral("Sp ace"), QStringLiteral("k ey")),
                 QStringLiteral("spaced"));
        // And what the store writes, QSettings reads.
        for (qsizetype i = 0; i < values.size(); ++i)
            QVERIFY(
                store.SaveSetting(kApp, QStringLiteral("Mine"), QStringLiteral("k%1").arg(i), values.at(i)));
        QVERIFY(
            store.SaveSetting(kApp, QStringLiteral("General"), QStringLiteral("g"), QStringLiteral("again")));
        const QSettings settings(path, QSettings::IniFormat);
        for (qsizetype i = 0; i < values.size(); ++i)
            QCOMPARE(settings.value(QStringLiteral("Mine/k%1").arg(i)).toString(), values.at(i));
        QCOMPARE(settings.value(QStringLiteral("General/g")).toString(), QStringLiteral("again"));
    }
};

QTEST_GUILESS_MAIN(SystemSettingsStoreTest)
#include "SystemSettingsStoreTest.moc"
