// Short paths: clean paths pass through, awkward ones get a private alias; the Windows buffer contract.
#include "system/PrivateFolder.h"
#include "system/ShortPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using qb::platform::GetShortPathNameA;
using qb::platform::pathNeedsShortAlias;
using qb::platform::privateRuntimeFolder;
using qb::platform::shortPathAliasFolder;

namespace {

std::string makeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content = "data")
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(content);
    return QFile::encodeName(path).toStdString();
}

std::string shortOf(const std::string& path)
{
    std::vector<char> buffer(4096, '\0');
    const std::uint32_t n =
        GetShortPathNameA(path.c_str(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (n == 0 || n >= buffer.size())
        return {};
    return std::string(buffer.data(), n);
}

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa
    {
    };
    struct stat sb
    {
    };
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Sets an environment variable for one scope.
class EnvOverride
{
public:
    EnvOverride(const char* name, const QByteArray& value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~EnvOverride()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

} // namespace

class SystemShortPathTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanPathIsItsOwnShortForm()
    {
        QTemporaryDir dir;
        const std::string path = makeFile(dir, QStringLiteral("song.mid"));
        QCOMPARE(shortOf(path), path);
        const std::string japanese = makeFile(dir, QString::fromUtf8("夜明けの歌.WAV"));
        QCOMPARE(shortOf(japanese), japanese);
    }

    void awkwardNamesGetAnAlias_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("extension");
        QTest::newRow("space") << QStringLiteral("my song.mid") << QStringLiteral(".mid");
        QTest::newRow("double quote") << QStringLiteral("say \"hi\".wav") << QStringLiteral(".wav");
        QTest::newRow("single quote") << QStringLiteral("it's.mp3") << QStringLiteral(".mp3");
        QTest::newRow("alias words") << QStringLiteral("x alias y.mid") << QStringLiteral(".mid");
        QTest::newRow("type words") << QStringLiteral("x type waveaudio.wav") << QStringLiteral(".wav");
        QTest::newRow("japanese with ideographic space")
            << QString::fromUtf8("夜明け　の歌 1.mid") << QStringLiteral(".mid");
        QTest::newRow("tab") << QStringLiteral("a\tb.RMI") << QStringLiteral(".RMI");
        QTest::newRow("newline") << QStringLiteral("a\nb.wav") << QStringLiteral(".wav");
        QTest::newRow("no extension") << QStringLiteral("plain name") << QString();
        QTest::newRow("blank in extension") << QStringLiteral("odd.w av") << QString();
    }

    void awkwardNamesGetAnAlias()
    {
        QFETCH(QString, name);
        QFETCH(QString, extension);
        QTemporaryDir dir;
        const std::string path = makeFile(dir, name);
        QVERIFY(!path.empty());
        QVERIFY(pathNeedsShortAlias(path));
        const std::string alias = shortOf(path);
        QVERIFY2(!alias.empty(), path.c_str());
        QVERIFY(alias != path);
        QVERIFY2(!pathNeedsShortAlias(alias), alias.c_str());
        QVERIFY(sameFile(alias, path));
        QVERIFY(QString::fromStdString(alias).endsWith(extension));
        if (extension.isEmpty())
            QVERIFY(!QFileInfo(QString::fromStdString(alias)).fileName().contains(QLatin1Char('.')));
        // The same path gives the same alias again.
        QCOMPARE(shortOf(path), alias);
    }

    void differentFilesGetDifferentAliases()
    {
        QTemporaryDir dir;
        const std::string a = makeFile(dir, QStringLiteral("a b.wav"), "first");
        const std::string b = makeFile(dir, QStringLiteral("a  b.wav"), "second");
        const std::string sa = shortOf(a);
        const std::string sb = shortOf(b);
        QVERIFY(!sa.empty() && !sb.empty());
        QVERIFY(sa != sb);
        QVERIFY(sameFile(sa, a));
        QVERIFY(sameFile(sb, b));
    }

    void relativePathAliasesTheRightFile()
    {
        QTemporaryDir dir;
        const std::string path = makeFile(dir, QStringLiteral("rel ative.wav"));
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const std::string alias = shortOf("rel ative.wav");
        QDir::setCurrent(old);
        QVERIFY(!alias.empty());
        QCOMPARE(alias.front(), '/');
        QVERIFY(sameFile(alias, path));
    }

    void aliasFolderIsPrivate()
    {
        const std::string folder = shortPathAliasFolder();
        QVERIFY(!folder.empty());
        struct stat st
        {
        };
        QCOMPARE(::lstat(folder.c_str(), &st), 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, ::geteuid());
        QCOMPARE(st.st_mode & 0777, mode_t(0700));
    }

    void runtimeFolderIsPreferred()
    {
        QTemporaryDir runtime;
        QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const EnvOverride env("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QCOMPARE(QString::fromStdString(shortPathAliasFolder()), runtime.path() + "/quillbeat/links");
        QTemporaryDir dir;
        const std::string alias = shortOf(makeFile(dir, QStringLiteral("a b.mid")));
        QVERIFY(QString::fromStdString(alias).startsWith(runtime.path() + "/quillbeat/links/"));
    }

    void sharedRuntimeFolderIsRefused()
    {
        QTemporaryDir runtime;
        ::chmod(QFile::encodeName(runtime.path()).constData(), 0777);
        const EnvOverride env("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString folder = QString::fromStdString(shortPathAliasFolder());
        QVERIFY(!folder.isEmpty()); // falls back to the cache folder
        QVERIFY(!folder.startsWith(runtime.path()));
    }

    void groupWritableFolderIsRefused()
    {
        QTemporaryDir tmp;
        const EnvOverride noRuntime("XDG_RUNTIME_DIR", QByteArray());
        const EnvOverride env("TMPDIR", QFile::encodeName(tmp.path()));
        const QString shared = tmp.path() + "/quillbeat-" + QString::number(::geteuid()) + "/links";
        QVERIFY(QDir().mkpath(shared));
        ::chmod(QFile::encodeName(shared).constData(), 0770);
        const QString folder = QString::fromStdString(shortPathAliasFolder());
        QVERIFY(!folder.isEmpty()); // falls back to /tmp
        QVERIFY(!folder.startsWith(tmp.path()));
        QTemporaryDir dir;
        const std::string alias = shortOf(makeFile(dir, QStringLiteral("a b.wav")));
        QVERIFY(!QString::fromStdString(alias).startsWith(tmp.path()));
        QVERIFY(QDir(shared).isEmpty());
        // A clean path needs no alias and still works.
        const std::string clean = makeFile(dir, QStringLiteral("ab.wav"));
        QCOMPARE(shortOf(clean), clean);
    }

    void temporaryFolderWithBlanksIsPassedOver()
    {
        QTemporaryDir base;
        const QString spaced = base.path() + "/my tmp";
        QVERIFY(QDir().mkpath(spaced));
        const EnvOverride noRuntime("XDG_RUNTIME_DIR", QByteArray());
        const EnvOverride env("TMPDIR", QFile::encodeName(spaced));
        const std::string folder = shortPathAliasFolder();
        QCOMPARE(folder, "/tmp/quillbeat-" + std::to_string(::geteuid()) + "/links");
        QTemporaryDir dir;
        const std::string path = makeFile(dir, QStringLiteral("a b.wav"));
        const std::string alias = shortOf(path);
        QVERIFY(!alias.empty());
        QVERIFY(sameFile(alias, path));
    }

    // Without a runtime folder (sudo, ssh, containers) and with a home folder whose path holds a
    // blank, the aliases must not live under that home, or they would need an alias themselves.
    void homeWithBlankWithoutRuntimeFolder()
    {
        QTemporaryDir base;
        const QString home = base.path() + "/John Smith";
        QVERIFY(QDir().mkpath(home));
        const EnvOverride noRuntime("XDG_RUNTIME_DIR", QByteArray());
        const EnvOverride noCache("XDG_CACHE_HOME", QByteArray());
        const EnvOverride noTmp("TMPDIR", QByteArray());
        const EnvOverride env("HOME", QFile::encodeName(home));
        QTemporaryDir dir;
        const std::string path = makeFile(dir, QStringLiteral("my song.mid"));
        const std::string alias = shortOf(path);
        QVERIFY2(!alias.empty(), "no alias for a path with a blank");
        QVERIFY2(!pathNeedsShortAlias(alias), alias.c_str());
        QVERIFY(sameFile(alias, path));
        QVERIFY(
            QString::fromStdString(alias).startsWith("/tmp/quillbeat-" + QString::number(::geteuid()) + "/"));
    }

    void privateFolderIsMadeForEachPurpose()
    {
        QTemporaryDir tmp;
        const EnvOverride noRuntime("XDG_RUNTIME_DIR", QByteArray());
        const EnvOverride env("TMPDIR", QFile::encodeName(tmp.path()));
        const std::optional<std::string> folder = privateRuntimeFolder("socket");
        QVERIFY(folder);
        const QString base = tmp.path() + "/quillbeat-" + QString::number(::geteuid());
        QCOMPARE(QString::fromStdString(*folder), base + "/socket");
        for (const QString& path : {base, base + "/socket"}) {
            struct stat st
            {
            };
            QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
            QVERIFY(S_ISDIR(st.st_mode));
            QCOMPARE(st.st_uid, ::geteuid());
            QCOMPARE(st.st_mode & 0777, mode_t(0700));
        }
        QCOMPARE(privateRuntimeFolder("socket"), folder); // made once, found again
        QVERIFY(!privateRuntimeFolder(""));
        QVERIFY(!privateRuntimeFolder(".."));
        QVERIFY(!privateRuntimeFolder("a/b"));
        QVERIFY(!privateRuntimeFolder("a b"));
    }

    // A link planted where the folder belongs is never followed, even to a private folder of ours.
    void plantedLinkIsNotFollowed()
    {
        QTemporaryDir tmp;
        QTemporaryDir elsewhere;
        QFile::setPermissions(elsewhere.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QString base = tmp.path() + "/quillbeat-" + QString::number(::geteuid());
        QCOMPARE(
            ::symlink(QFile::encodeName(elsewhere.path()).constData(), QFile::encodeName(base).constData()),
            0);
        const EnvOverride noRuntime("XDG_RUNTIME_DIR", QByteArray());
        const EnvOverride env("TMPDIR", QFile::encodeName(tmp.path()));
        const std::optional<std::string> folder = privateRuntimeFolder("links");
        QVERIFY(folder);
        QVERIFY(!QString::fromStdString(*folder).startsWith(tmp.path()));
        QVERIFY(QDir(elsewhere.path()).isEmpty());
    }

    void bufferContract()
    {
        QTemporaryDir dir;
        const std::string path = makeFile(dir, QStringLiteral("song.mid"));
        const auto length = static_cast<std::uint32_t>(path.size());

        std::vector<char> exact(length + 1, 'x');
        QCOMPARE(GetShortPathNameA(path.c_str(), exact.data(), length + 1), length);
        QCOMPARE(std::string(exact.data()), path);

        std::vector<char> small(length, 'x');
        QCOMPARE(GetShortPathNameA(path.c_str(), small.data(), length), length + 1);
        QVERIFY(std::all_of(small.begin(), small.end(), [](char c) { return c == 'x'; }));

        QCOMPARE(GetShortPathNameA(path.c_str(), nullptr, 0), length + 1);

        std::vector<char> buffer(64, '\0');
        QCOMPARE(GetShortPathNameA((path + ".missing").c_str(), buffer.data(), 64), 0u);
        QCOMPARE(GetShortPathNameA("", buffer.data(), 64), 0u);
        QCOMPARE(GetShortPathNameA(nullptr, buffer.data(), 64), 0u);
        QVERIFY(std::all_of(buffer.begin(), buffer.end(), [](char c) { return c == '\0'; }));
    }

    void aliasBufferContract()
    {
        QTemporaryDir dir;
        const std::string path = makeFile(dir, QStringLiteral("a b.wav"));
        const std::uint32_t needed = GetShortPathNameA(path.c_str(), nullptr, 0);
        QVERIFY(needed > 1);
        std::vector<char> small(needed - 1, '\0');
        QCOMPARE(GetShortPathNameA(path.c_str(), small.data(), needed - 1), needed);
        QCOMPARE(small[0], '\0');
        std::vector<char> exact(needed, '\0');
        QCOMPARE(GetShortPathNameA(path.c_str(), exact.data(), needed), needed - 1);
        QCOMPARE(std::strlen(exact.data()), std::size_t(needed - 1));
    }

    void staleAliasIsReplaced()
    {
        QTemporaryDir dir;
        const std::string path = makeFile(dir, QStringLiteral("a b.wav"), "one");
        const std::string alias = shortOf(path);
        QVERIFY(!alias.empty());
        // Someone (or an old run) left the alias pointing elsewhere.
        const std::string other = makeFile(dir, QStringLiteral("other.wav"), "two");
        ::unlink(alias.c_str());
        QCOMPARE(::symlink(other.c_str(), alias.c_str()), 0);
        QCOMPARE(shortOf(path), alias);
        QVERIFY(sameFile(alias, path));
    }

    void folderNamedLikeAFileIsNotAFile()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("x y.mid")));
        // Windows shortens folders too; the service then refuses to open it as a file.
        QVERIFY(!shortOf(QFile::encodeName(dir.filePath(QStringLiteral("x y.mid"))).toStdString()).empty());
    }
};

QTEST_GUILESS_MAIN(SystemShortPathTest)
#include "SystemShortPathTest.moc"
