// The single-window service in one process: the request format, a second start handing over, a
// malformed request dropped, a stale socket replaced.
#include "session/SingleWindow.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace qb::session;

namespace {

// The address of a local socket at `path`, for the tests that play a client or a crashed window by hand.
// The socket address of `path`; nothing when the path is too long for one (107 bytes), which a
// deep temporary folder can make it.
std::optional<sockaddr_un> addressOf(const QString& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = path.toLocal8Bit();
    if (bytes.size() >= static_cast<qsizetype>(sizeof address.sun_path))
        return std::nullopt;
    std::copy(bytes.begin(), bytes.end(), address.sun_path);
    return address;
}

} // namespace

class SingleWindowTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void requestsRoundTripAnyPathBytes()
    {
        const QByteArray path("/m\xfcsic/\x83\x8b\x81[\x83v a\nb.mid");
        const std::optional<WindowRequest> decoded = decodeRequest(encodeRequest({path, true}).chopped(1));
        QVERIFY(decoded);
        QCOMPARE(decoded->file, path);
        QVERIFY(decoded->play);
        const std::optional<WindowRequest> raise = decodeRequest(encodeRequest({}).chopped(1));
        QVERIFY(raise);
        QVERIFY(raise->file.isEmpty());
        QVERIFY(raise->startupId.isEmpty() && raise->activationToken.isEmpty());
    }

    // The desktop's launch travels with the request, with a file or without.
    void theLaunchTravelsWithTheRequest()
    {
        WindowRequest sent{QByteArrayLiteral("/music/a.mid"), false, "kde-launch 1_TIME42", "wl token=="};
        std::optional<WindowRequest> got = decodeRequest(encodeRequest(sent).chopped(1));
        QVERIFY(got);
        QCOMPARE(got->file, sent.file);
        QCOMPARE(got->startupId, sent.startupId);
        QCOMPARE(got->activationToken, sent.activationToken);
        got = decodeRequest(encodeRequest({{}, false, {}, "only-a-token"}).chopped(1));
        QVERIFY(got && got->file.isEmpty() && got->startupId.isEmpty());
        QCOMPARE(got->activationToken, QByteArray("only-a-token"));
        QVERIFY(!got->loopPoints);
    }

    // --loop-points travels with a file or alone, beside the launch.
    void loopPointsTravelWithTheRequest()
    {
        std::optional<WindowRequest> got = decodeRequest(
            encodeRequest({QByteArrayLiteral("/music/a.ogg"), true, "id", {}, true}).chopped(1));
        QVERIFY(got && got->loopPoints && got->play);
        QCOMPARE(got->file, QByteArray("/music/a.ogg"));
        QCOMPARE(got->startupId, QByteArray("id"));
        got = decodeRequest(encodeRequest({{}, false, {}, {}, true}).chopped(1));
        QVERIFY(got && got->loopPoints && got->file.isEmpty());
        QVERIFY(!decodeRequest("QUILLBEAT-WINDOW/1 raise loop-points loop-points"));
        // --find-loop likewise, after it.
        WindowRequest finding{QByteArrayLiteral("/music/a.ogg"), false};
        finding.loopPoints = true;
        finding.findLoop = true;
        got = decodeRequest(encodeRequest(finding).chopped(1));
        QVERIFY(got && got->findLoop && got->loopPoints);
        got = decodeRequest("QUILLBEAT-WINDOW/1 raise find-loop");
        QVERIFY(got && got->findLoop && !got->loopPoints);
        QVERIFY(!decodeRequest("QUILLBEAT-WINDOW/1 raise find-loop loop-points"));
    }

    // --track travels with its file.
    void theTrackTravelsWithItsFile()
    {
        WindowRequest sent{QByteArrayLiteral("/music/game.nsf"), true, {}, {}, true, 4};
        const std::optional<WindowRequest> got = decodeRequest(encodeRequest(sent).chopped(1));
        QVERIFY(got && got->track == 4 && got->loopPoints && got->play);
        QCOMPARE(got->file, sent.file);
        QCOMPARE(decodeRequest(encodeRequest({sent.file, false}).chopped(1))->track, 0);
        for (const char* wrong : {" track=0", " track=x", " track=07", " track=2 track=2"})
            QVERIFY2(!decodeRequest(encodeRequest({sent.file, false}).chopped(1) + wrong), wrong);
    }

    void malformedRequestsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("other magic") << QByteArray("HELLO/1 raise");
        QTest::newRow("unknown verb") << QByteArray("QUILLBEAT-WINDOW/1 quit");
        QTest::newRow("bad base64") << QByteArray("QUILLBEAT-WINDOW/1 open play ***");
        QTest::newRow("launch field twice")
            << QByteArray("QUILLBEAT-WINDOW/1 raise startup=YQ== startup=YQ==");
        QTest::newRow("launch fields swapped")
            << QByteArray("QUILLBEAT-WINDOW/1 raise token=YQ== startup=YQ==");
        QTest::newRow("unknown field") << QByteArray("QUILLBEAT-WINDOW/1 raise colour=YQ==");
        QTest::newRow("empty startup id") << QByteArray("QUILLBEAT-WINDOW/1 raise startup=");
        QTest::newRow("relative path")
            << QByteArray("QUILLBEAT-WINDOW/1 open play ") + QByteArray("a.mid").toBase64();
        QTest::newRow("NUL in path") << QByteArray("QUILLBEAT-WINDOW/1 open play ") +
                                            QByteArray("/a\0b", 4).toBase64();
        QTest::newRow("extra field") << QByteArray("QUILLBEAT-WINDOW/1 raise now");
        QTest::newRow("unknown mode")
            << QByteArray("QUILLBEAT-WINDOW/1 open loud ") + QByteArray("/a").toBase64();
    }

    void malformedRequestsAreRefused()
    {
        QFETCH(QByteArray, line);
        QVERIFY(!decodeRequest(line));
    }

    void aSecondStartHandsOverAndAJunkClientIsDropped()
    {
        const QString path = dir.filePath(QStringLiteral("window"));
        SingleWindow first(path);
        QCOMPARE(first.start({}), SingleWindow::Outcome::Listening);
        QSignalSpy requests(&first, &SingleWindow::requested);

        QLocalSocket junk;
        junk.connectToServer(path);
        QVERIFY(junk.waitForConnected(2000));
        junk.write("QUILLBEAT-WINDOW/1 open play %%%\n");
        QTRY_COMPARE(junk.state(), QLocalSocket::UnconnectedState);
        QVERIFY(junk.readAll().isEmpty());

        // SingleWindow::start() blocks on its answer, and this process is the window: the later start
        // is played by hand. (tests/desktop/second_start_test.sh runs real second processes.)
        QLocalSocket second;
        second.connectToServer(path);
        QVERIFY(second.waitForConnected(2000));
        second.write(encodeRequest({QByteArray("/music/loop.mid"), false}));
        QByteArray answer;
        QTRY_COMPARE((answer += second.readAll()), QByteArray("ok\n"));
        QTRY_COMPARE(requests.size(), 1);
        const auto request = requests.at(0).at(0).value<WindowRequest>();
        QCOMPARE(request.file, QByteArray("/music/loop.mid"));
        QVERIFY(!request.play);
    }

    void aRequestFollowedByTheEndOfItsStreamIsTaken()
    {
        // As a client that writes its line and shuts its sending side (socat, a script) does.
        const QString path = dir.filePath(QStringLiteral("halfclosed"));
        SingleWindow window(path);
        QCOMPARE(window.start({}), SingleWindow::Outcome::Listening);
        QSignalSpy requests(&window, &SingleWindow::requested);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        const std::optional<sockaddr_un> address = addressOf(path);
        QVERIFY2(address, qPrintable(path));
        QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
        const QByteArray line = encodeRequest({QByteArray("/music/b.mid"), true});
        QCOMPARE(::send(fd, line.constData(), static_cast<std::size_t>(line.size()), 0),
                 ssize_t(line.size()));
        QCOMPARE(::shutdown(fd, SHUT_WR), 0);
        QByteArray answer;
        char chunk[8];
        QTRY_VERIFY(
            (answer.append(chunk, std::max<ssize_t>(::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT), 0)))
                .contains('\n'));
        ::close(fd);
        QCOMPARE(answer, QByteArray("ok\n"));
        QTRY_COMPARE(requests.size(), 1);
        QVERIFY(requests.at(0).at(0).value<WindowRequest>().play);
    }

    void aStaleSocketIsReplaced()
    {
        const QString path = dir.filePath(QStringLiteral("stale"));
        // A socket file that nobody listens on, as a killed window leaves it.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        const std::optional<sockaddr_un> address = addressOf(path);
        QVERIFY2(address, qPrintable(path));
        QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
        ::close(fd);
        QVERIFY(QFileInfo(path).exists());

        SingleWindow window(path);
        QCOMPARE(window.start({}), SingleWindow::Outcome::Listening);
        QLocalSocket client;
        client.connectToServer(path);
        QVERIFY(client.waitForConnected(2000));
    }

    // A window that is there but hangs up without taking the request: the later start fails, rather
    // than becoming a second window.
    void aWindowThatDoesNotTakeTheRequestRefusesIt()
    {
        const QString path = dir.filePath(QStringLiteral("mute"));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        const std::optional<sockaddr_un> address = addressOf(path);
        QVERIFY2(address, qPrintable(path));
        QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address), 0);
        QCOMPARE(::listen(fd, 1), 0);
        std::thread hangUp([fd] { ::close(::accept(fd, nullptr, nullptr)); });

        SingleWindow later(path);
        QCOMPARE(later.start({QByteArrayLiteral("/music/a.wav"), true}), SingleWindow::Outcome::Refused);
        hangUp.join();
        ::close(fd);
    }

    void noFolderMeansAlone()
    {
        SingleWindow window(dir.filePath(QStringLiteral("no/such/folder/window")));
        QCOMPARE(window.start({}), SingleWindow::Outcome::Alone);
    }
};

QTEST_MAIN(SingleWindowTest)
#include "SingleWindowTest.moc"
