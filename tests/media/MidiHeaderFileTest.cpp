// ReadMidiHeader on real files of every kind the file system offers.
#include "MidiBytes.h"
#include "media/MidiHeader.h"
#include "system/CodePage.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
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
    void fileLargerThanMemoryIsScanned();
    void readsFileWhoseNameIsNotUtf8_data();
    void readsFileWhoseNameIsNotUtf8();
    void largeSparseFileCostsNoMoreThanItsFirstChunks();
    void patternsAcrossReadChunksAreFound_data();
    void patternsAcrossReadChunksAreFound();
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
        QSKIP("root reads every file: media_midi_header_file_test_unprivileged tries this as another user");
    QVERIFY(writeFile(path("locked.mid"), kSong));
    QVERIFY(QFile::setPermissions(path("locked.mid"), QFileDevice::WriteOwner));
    QCOMPARE(ReadMidiHeader(path("locked.mid")), MidiHeaderInfo{});
}

void MidiHeaderFileTest::fileLargerThanMemoryIsScanned()
{
    // A sparse file: its length is beyond the machine's memory while it takes no disk space. Only its
    // first chunks are read, so its length does not matter.
    const qint64 pages = ::sysconf(_SC_PHYS_PAGES);
    const qint64 pageSize = ::sysconf(_SC_PAGESIZE);
    QVERIFY(pages > 0 && pageSize > 0);
    QFile file(path("huge.mid"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(kSong) == kSong.size());
    if (!file.resize(pages * pageSize + (qint64(1) << 30)))
        QSKIP("the file system does not take a file that large");
    file.close();
    QCOMPARE(ReadMidiHeader(path("huge.mid")), kSongInfo);
}

void MidiHeaderFileTest::readsFileWhoseNameIsNotUtf8_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("Latin-1") << QByteArray("caf\xe9.mid");
    // "ループ.mid" in Shift_JIS, as old Japanese archives name their files.
    QTest::newRow("Shift_JIS") << QByteArray("\x83\x8b\x81\x5b\x83\x76.mid");
}

void MidiHeaderFileTest::readsFileWhoseNameIsNotUtf8()
{
    QFETCH(QByteArray, name);
    const std::string native = qb::platform::toAnsi(m_dir->path()) + '/' + name.toStdString();
    const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    QVERIFY(fd >= 0);
    const bool written =
        ::write(fd, kSong.constData(), static_cast<std::size_t>(kSong.size())) == kSong.size();
    ::close(fd);
    // The toolkit cannot list this name, so the temporary folder could not remove it.
    const auto cleanup = qScopeGuard([&] { ::unlink(native.c_str()); });
    QVERIFY(written);
    // The text the dialog and the service hand over for this name: its bytes, escaped where needed.
    QCOMPARE(ReadMidiHeader(qb::platform::fromAnsi(native)), kSongInfo);
}

void MidiHeaderFileTest::largeSparseFileCostsNoMoreThanItsFirstChunks()
{
    // A first track without a title: the title search runs to the end of the file.
    const QByteArray start = header(0, 1, 96) + track(noteOnOff() + endOfTrack());
    const std::int64_t length = std::int64_t{2} << 30;
    const std::string native = qb::platform::toAnsi(path("long.mid"));
    const int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    QVERIFY(fd >= 0);
    const bool written =
        ::write(fd, start.constData(), static_cast<std::size_t>(start.size())) == start.size();
    const bool sized = ::ftruncate(fd, length) == 0;
    ::close(fd);
    QVERIFY(written);
    if (!sized)
        QSKIP("the file system does not take a 2 GB file");

    rusage before{};
    QCOMPARE(::getrusage(RUSAGE_SELF, &before), 0);
    QCOMPARE(ReadMidiHeader(path("long.mid")), (MidiHeaderInfo{0, 1, 96, QStringLiteral("NoTitle")}));
    rusage after{};
    QCOMPARE(::getrusage(RUSAGE_SELF, &after), 0);
    // Peak resident size in KiB. Reading the file whole would add 2 GB; a chunk is 1 MiB.
    const long grownKiB = after.ru_maxrss - before.ru_maxrss;
    QVERIFY2(grownKiB < 64 * 1024, qPrintable(QStringLiteral("peak RSS grew by %1 KiB").arg(grownKiB)));
}

void MidiHeaderFileTest::patternsAcrossReadChunksAreFound_data()
{
    QTest::addColumn<int>("shift");
    for (int shift : {-6, -5, -4, -3, -2, -1, 0, 1})
        QTest::addRow("%d", shift) << shift;
}

// The file is read a megabyte at a time: tags and title events that straddle a chunk's end are found
// exactly as in the bytes held whole.
void MidiHeaderFileTest::patternsAcrossReadChunksAreFound()
{
    QFETCH(int, shift);
    const int chunk = 1 << 20;
    // Filler of spaces puts "MThd", the first "MTrk", a title event and the second "MTrk" each near
    // the end of a chunk: at 1, 2, 3 and 4 MiB plus `shift`.
    QByteArray bytes = QByteArray(chunk + shift, ' ') + header(1, 2, 480);
    bytes += QByteArray(2 * chunk + shift - bytes.size(), ' ') + "MTrk" + be32(100);
    bytes += QByteArray(3 * chunk + shift - bytes.size(), ' ') + meta(0x01, "Boundary");
    bytes += QByteArray(4 * chunk + shift - bytes.size(), ' ') + track(endOfTrack());
    QVERIFY(writeFile(path("wide.mid"), bytes));
    const MidiHeaderInfo whole = qb::media::scanMidiHeader(
        {reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())});
    QCOMPARE(whole, (MidiHeaderInfo{1, 2, 480, QStringLiteral("Boundary")}));
    QCOMPARE(ReadMidiHeader(path("wide.mid")), whole);

    // The FF of a title event as the last byte of a chunk, its type as the first of the next.
    bytes = header(1, 1, 480) + QByteArray("MTrk") + be32(100);
    bytes += QByteArray(chunk - 1 + shift - bytes.size() % chunk, ' ');
    bytes += QByteArray("\xFF\x03\x04"
                        "Edge");
    QVERIFY(writeFile(path("edge.mid"), bytes));
    QCOMPARE(ReadMidiHeader(path("edge.mid")),
             qb::media::scanMidiHeader({reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                        static_cast<std::size_t>(bytes.size())}));
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
