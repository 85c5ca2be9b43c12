// ReadMidiHeader on real files of every kind the file system offers.
#include "MidiBytes.h"
#include "media/MidiHeader.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using qb::media::MidiHeaderInfo;
using qb::media::ReadMidiHeader;
using namespace qb::test::midi;

namespace {

const QByteArray kSong = header(1, 5, 480) + track(meta(0x03, "Title X") + endOfTrack()) +
                         track(endOfTrack()) + track(endOfTrack()) + track(endOfTrack()) +
                         track(endOfTrack());

const MidiHeaderInfo kSongInfo{1, 5, 480, QStringLiteral("Title X")};

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class MidiHeaderFileTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readsOrdinaryFile();
    void readsFileWithJapaneseName();
    void readsThroughSymbolicLink();
    void readsFileHeldOpenAndLockedElsewhere();
    void hiddenFileGivesEmptyRecord();
    void hiddenFolderDoesNotHideFile();
    void folderGivesEmptyRecord();
    void fifoGivesEmptyRecordWithoutBlocking();
    void socketGivesEmptyRecord();
    void devicesGiveEmptyRecord();
    void missingAndDanglingGiveEmptyRecord();
    void unreadableFileGivesEmptyRecord();
    void fileLargerThanMemoryGivesEmptyRecord();
    void leavesFileUnchanged();

private:
    QString path(const QString& name) const { return m_dir->filePath(name); }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void MidiHeaderFileTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void MidiHeaderFileTest::readsOrdinaryFile()
{
    QVERIFY(writeFile(path("song.mid"), kSong));
    QCOMPARE(ReadMidiHeader(path("song.mid")), kSongInfo);
    QVERIFY(writeFile(path("song.rmi"), rmi(kSong)));
    QCOMPARE(ReadMidiHeader(path("song.rmi")), kSongInfo);
    QVERIFY(writeFile(path("empty.mid"), QByteArray()));
    QCOMPARE(ReadMidiHeader(path("empty.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::readsFileWithJapaneseName()
{
    const QString name = QStringLiteral("音楽 ファイル.mid");
    QVERIFY(writeFile(path(name), kSong));
    QCOMPARE(ReadMidiHeader(path(name)), kSongInfo);
}

void MidiHeaderFileTest::readsThroughSymbolicLink()
{
    QVERIFY(writeFile(path(".stored.mid"), kSong));
    QVERIFY(QFile::link(path(".stored.mid"), path("visible.mid")));
    QCOMPARE(ReadMidiHeader(path("visible.mid")), kSongInfo);
}

void MidiHeaderFileTest::readsFileHeldOpenAndLockedElsewhere()
{
    QVERIFY(writeFile(path("busy.mid"), kSong));
    const int holder = ::open(QFile::encodeName(path("busy.mid")).constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    const MidiHeaderInfo info = ReadMidiHeader(path("busy.mid"));
    ::close(holder);
    QCOMPARE(info, kSongInfo);
}

void MidiHeaderFileTest::hiddenFileGivesEmptyRecord()
{
    QVERIFY(writeFile(path(".song.mid"), kSong));
    QCOMPARE(ReadMidiHeader(path(".song.mid")), MidiHeaderInfo{});
    QVERIFY(QFile::link(path(".song.mid"), path(".alias.mid")));
    QCOMPARE(ReadMidiHeader(path(".alias.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::hiddenFolderDoesNotHideFile()
{
    QVERIFY(QDir(m_dir->path()).mkdir(".music"));
    QVERIFY(writeFile(path(".music/song.mid"), kSong));
    QCOMPARE(ReadMidiHeader(path(".music/song.mid")), kSongInfo);
    QCOMPARE(ReadMidiHeader(path(".music/../.music/song.mid")), kSongInfo);
}

void MidiHeaderFileTest::folderGivesEmptyRecord()
{
    QVERIFY(QDir(m_dir->path()).mkdir("folder.mid"));
    QCOMPARE(ReadMidiHeader(path("folder.mid")), MidiHeaderInfo{});
    QVERIFY(QFile::link(path("folder.mid"), path("link.mid")));
    QCOMPARE(ReadMidiHeader(path("link.mid")), MidiHeaderInfo{});
    QVERIFY(writeFile(path("song.mid"), kSong));
    QCOMPARE(ReadMidiHeader(path("song.mid/")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::fifoGivesEmptyRecordWithoutBlocking()
{
    // Nobody ever writes to this FIFO: a blocking open or read would hang the test until its timeout.
    QCOMPARE(::mkfifo(QFile::encodeName(path("pipe.mid")).constData(), 0600), 0);
    QCOMPARE(ReadMidiHeader(path("pipe.mid")), MidiHeaderInfo{});
    QVERIFY(QFile::link(path("pipe.mid"), path("pipe-link.mid")));
    QCOMPARE(ReadMidiHeader(path("pipe-link.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::socketGivesEmptyRecord()
{
    QLocalServer server;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    QVERIFY(server.listen(path("socket.mid")));
    QCOMPARE(ReadMidiHeader(server.fullServerName()), MidiHeaderInfo{});
}

void MidiHeaderFileTest::devicesGiveEmptyRecord()
{
    // /dev/zero would never end if it were read as a file.
    QCOMPARE(ReadMidiHeader("/dev/zero"), MidiHeaderInfo{});
    QCOMPARE(ReadMidiHeader("/dev/null"), MidiHeaderInfo{});
    QVERIFY(QFile::link("/dev/zero", path("zero.mid")));
    QCOMPARE(ReadMidiHeader(path("zero.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::missingAndDanglingGiveEmptyRecord()
{
    QCOMPARE(ReadMidiHeader(path("missing.mid")), MidiHeaderInfo{});
    QCOMPARE(ReadMidiHeader(QString()), MidiHeaderInfo{});
    QVERIFY(QFile::link(path("missing.mid"), path("dangling.mid")));
    QCOMPARE(ReadMidiHeader(path("dangling.mid")), MidiHeaderInfo{});
    QCOMPARE(ReadMidiHeader(path("no-folder/song.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::unreadableFileGivesEmptyRecord()
{
    if (::geteuid() == 0)
        QSKIP("root reads every file");
    QVERIFY(writeFile(path("locked.mid"), kSong));
    QVERIFY(QFile::setPermissions(path("locked.mid"), QFileDevice::WriteOwner));
    QCOMPARE(ReadMidiHeader(path("locked.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::fileLargerThanMemoryGivesEmptyRecord()
{
    // A sparse file: its length is beyond the machine's memory while it takes no disk space.
    const qint64 pages = ::sysconf(_SC_PHYS_PAGES);
    const qint64 pageSize = ::sysconf(_SC_PAGESIZE);
    QVERIFY(pages > 0 && pageSize > 0);
    QFile file(path("huge.mid"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(kSong) == kSong.size());
    if (!file.resize(pages * pageSize + (qint64(1) << 30)))
        QSKIP("the file system does not take a file that large");
    file.close();
    QCOMPARE(ReadMidiHeader(path("huge.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::leavesFileUnchanged()
{
    QVERIFY(writeFile(path("song.mid"), kSong));
    const QString before = path("song.mid");
    QString argument = before;
    ReadMidiHeader(argument);
    QCOMPARE(argument, before);
    QFile file(before);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), kSong);
}

QTEST_GUILESS_MAIN(MidiHeaderFileTest)
#include "MidiHeaderFileTest.moc"
