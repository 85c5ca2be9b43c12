// The byte-search scan over sequences built here, one row per shape of file.
#include "MidiBytes.h"
#include "media/MidiHeader.h"

#include <QTest>

using qb::media::MidiHeaderInfo;
using qb::media::scanMidiHeader;
using namespace qb::test::midi;

Q_DECLARE_METATYPE(MidiHeaderInfo)

namespace {

MidiHeaderInfo info(int format, int tracks, int division, const QString& title)
{
    return MidiHeaderInfo{static_cast<std::int16_t>(format), static_cast<std::int16_t>(tracks),
                          static_cast<std::int16_t>(division), title};
}

const MidiHeaderInfo kEmpty{};

MidiHeaderInfo scan(const QByteArray& bytes)
{
    return scanMidiHeader(
        {reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())});
}

QByteArray twoTrackSong(const QByteArray& firstBody, const QByteArray& secondBody)
{
    return header(1, 2, 480) + track(firstBody) + track(secondBody);
}

} // namespace

class MidiHeaderScanTest : public QObject
{
    Q_OBJECT

private slots:
    void scansBytes_data();
    void scansBytes();
    void emptyRecordHasEmptyTitle();
};

void MidiHeaderScanTest::scansBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<MidiHeaderInfo>("expected");

    const QByteArray tempo = QByteArray::fromHex("00FF510307A120");
    const QByteArray named = meta(0x03, "Piano Song") + tempo + noteOnOff() + endOfTrack();

    QTest::newRow("format 1, name first, division 01 E0")
        << QByteArray("MThd") + be32(6) +
               QByteArray::fromHex("0001"
                                   "0002"
                                   "01E0") +
               track(named) + track(noteOnOff() + endOfTrack())
        << info(1, 2, 480, "Piano Song");
    QTest::newRow("format 0") << header(0, 1, 96) + track(named) << info(0, 1, 96, "Piano Song");

    const QByteArray song = header(1, 2, 480) + track(named) + track(endOfTrack());
    QVERIFY(rmi(song).indexOf("MThd") == 20);
    QTest::newRow("rmi container, MThd at offset 20") << rmi(song) << info(1, 2, 480, "Piano Song");

    QTest::newRow("empty file") << QByteArray() << kEmpty;
    QTest::newRow("wave bytes, no MThd")
        << QByteArray("RIFF") + le32(36) + "WAVEfmt " + le32(16) + QByteArray(16, '\x01') << kEmpty;
    QTest::newRow("mthd in lower case") << QByteArray("mthd") + song.mid(4) << kEmpty;

    const QByteArray trackFirst = track(named);
    QTest::newRow("MThd starts in the last 13 bytes") << trackFirst + header(1, 1, 480).left(13) << kEmpty;
    QTest::newRow("MThd with exactly 14 bytes")
        << trackFirst + header(1, 1, 480) << info(1, 1, 480, "Piano Song");

    QTest::newRow("SMPTE division E7 28")
        << header(1, 2, 0xE728) + track(named) + track(endOfTrack()) << kEmpty;
    QTest::newRow("format 0x8000") << header(0x8000, 1, 480) + track(named) << kEmpty;
    QTest::newRow("track count 0xFFFF") << header(1, 0xFFFF, 480) + track(named) << kEmpty;
    QTest::newRow("largest values 7F FF")
        << header(0x7FFF, 0x7FFF, 0x7FFF) + track(named) << info(32767, 32767, 32767, "Piano Song");

    QTest::newRow("3 tracks declared, 2 present")
        << header(1, 3, 480) + track(named) + track(endOfTrack()) << info(1, 3, 480, "Piano Song");
    QTest::newRow("no MTrk") << header(0, 1, 480) + QByteArray("MTRK") + be32(4) + endOfTrack() << kEmpty;
    QTest::newRow("no title anywhere")
        << twoTrackSong(noteOnOff() + endOfTrack(), endOfTrack()) << info(1, 2, 480, "NoTitle");

    QTest::newRow("text event before track name")
        << twoTrackSong(meta(0x01, "Comment") + meta(0x03, "Name") + endOfTrack(), endOfTrack())
        << info(1, 2, 480, "Comment");
    QTest::newRow("track name before text event")
        << twoTrackSong(meta(0x03, "Name") + meta(0x01, "Comment") + endOfTrack(), endOfTrack())
        << info(1, 2, 480, "Name");
    QTest::newRow("names only in the second track")
        << twoTrackSong(noteOnOff() + endOfTrack(), meta(0x03, "Second") + endOfTrack())
        << info(1, 2, 480, "NoTitle");
    QTest::newRow("names only in the third track")
        << header(1, 3, 480) + track(endOfTrack()) + track(endOfTrack()) + track(meta(0x01, "Third"))
        << info(1, 3, 480, "NoTitle");
    QTest::newRow("one track: name after the end of track counts")
        << header(0, 1, 480) + track(noteOnOff() + endOfTrack()) + QByteArray("\x00\xFF\x03\x05Trail", 9)
        << info(0, 1, 480, "Trail");
    QTest::newRow("MTrk before MThd is the first track")
        << QByteArray("MTrk") + be32(0) + header(0, 1, 480) + track(named) << info(0, 1, 480, "NoTitle");

    QTest::newRow("FF 03 00 gives an empty title")
        << twoTrackSong(meta(0x03, "") + endOfTrack(), endOfTrack()) << info(1, 2, 480, "");
    QTest::newRow("length past the end gives the rest") << header(0, 1, 480) + QByteArray("MTrk") + be32(20) +
                                                               QByteArray("\x00\xFF\x03\x10"
                                                                          "abc",
                                                                          7)
                                                        << info(0, 1, 480, "abc");
    QTest::newRow("length byte is the last byte")
        << header(0, 1, 480) + QByteArray("MTrk") + be32(20) + QByteArray("\x00\xFF\x03\x10", 4)
        << info(0, 1, 480, "");
    QTest::newRow("FF 01 as the last two bytes")
        << header(0, 1, 480) + track(noteOnOff()) + QByteArray("\xFF\x01", 2) << kEmpty;
    QTest::newRow("FF 03 as the last two bytes")
        << header(0, 1, 480) + track(noteOnOff() + QByteArray("\xFF\x03", 2)) << kEmpty;

    // The length of a long text is stored in more than one byte: 200 is 81 48.
    const QByteArray name200 = QByteArray(100, 'a') + QByteArray(100, 'b');
    QCOMPARE(meta(0x03, name200).mid(1, 4), QByteArray::fromHex("FF038148"));
    QTest::newRow("200-byte name, two length bytes, comes out whole")
        << twoTrackSong(meta(0x03, name200) + endOfTrack(), endOfTrack()) << info(1, 2, 480, name200);
    QTest::newRow("four-byte length past the end")
        << header(0, 1, 480) + track(QByteArray("\x00\xFF\x03\x81\x80\x80\x05"
                                                "abcde",
                                                12))
        << info(0, 1, 480, "abcde");
    QTest::newRow("length cut inside its continuation bytes")
        << header(0, 1, 480) + track(noteOnOff()) + QByteArray("\xFF\x03\x81", 3) << info(0, 1, 480, "");

    QTest::newRow("chunk length 00 00 FF 03 is not a title")
        << header(0, 1, 480) + QByteArray("MTrk") + QByteArray::fromHex("0000FF03") + named
        << info(0, 1, 480, "Piano Song");
    QTest::newRow("chunk length 00 00 FF 03 and no name")
        << header(0, 1, 480) + QByteArray("MTrk") + QByteArray::fromHex("0000FF03") + noteOnOff() +
               endOfTrack()
        << info(0, 1, 480, "NoTitle");
    QTest::newRow("FF in the length, 03 as the first delta time")
        << header(0, 1, 480) + QByteArray("MTrk") + QByteArray::fromHex("000000FF") +
               QByteArray::fromHex("03FF0104") + "Text" + endOfTrack()
        << info(0, 1, 480, "Text");
    QTest::newRow("FF 03 inside system-exclusive data counts")
        << twoTrackSong(QByteArray::fromHex("00F007FF0303414243F7") + meta(0x03, "Name") + endOfTrack(),
                        endOfTrack())
        << info(1, 2, 480, "ABC");
    // Delta time FF 01 (16257 ticks) before a note-on: the note's bytes 90 3C read as a two-byte length.
    QTest::newRow("FF 01 in a delta time counts")
        << header(0, 1, 480) + track(QByteArray::fromHex("FF01903C40") + endOfTrack())
        << info(0, 1, 480, QStringLiteral("@") + QChar(0) + QChar(0xFFFD) + QStringLiteral("/") + QChar(0));
    QTest::newRow("Shift_JIS title")
        << twoTrackSong(meta(0x03, QByteArray::fromHex("8BC896BC83658358836720835A838B")) + endOfTrack(),
                        endOfTrack())
        << info(1, 2, 480, QStringLiteral("曲名テスト セル"));
    QTest::newRow("code page 932 extensions and ASCII backslash")
        << twoTrackSong(meta(0x03, QByteArray::fromHex("87405C7EB1")) + endOfTrack(), endOfTrack())
        << info(1, 2, 480, QStringLiteral("①\\~ｱ"));
    // An undefined lead byte is one U+FFFD and an ASCII byte after it stays itself, as web browsers
    // decode Shift_JIS; so is an undefined single byte and a lead byte cut off at the end.
    QTest::newRow("undefined pair and cut lead byte become U+FFFD")
        << twoTrackSong(meta(0x03, QByteArray::fromHex("41854042FF4382")), endOfTrack())
        << info(1, 2, 480, QStringLiteral("A\uFFFD@B\uFFFDC\uFFFD"));
    QTest::newRow("first of two MThd is used")
        << header(1, 2, 480) + header(0, 9, 96) + track(named) << info(1, 2, 480, "Piano Song");
}

void MidiHeaderScanTest::scansBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(MidiHeaderInfo, expected);
    const MidiHeaderInfo actual = scan(bytes);
    QCOMPARE(actual.Title, expected.Title);
    QCOMPARE(actual.Format, expected.Format);
    QCOMPARE(actual.TrackCount, expected.TrackCount);
    QCOMPARE(actual.Division, expected.Division);
}

void MidiHeaderScanTest::emptyRecordHasEmptyTitle()
{
    const MidiHeaderInfo empty = scan(QByteArray("no header here"));
    QVERIFY(empty.Title.isEmpty());
    QCOMPARE(empty, MidiHeaderInfo{});
}

QTEST_APPLESS_MAIN(MidiHeaderScanTest)
#include "MidiHeaderScanTest.moc"
