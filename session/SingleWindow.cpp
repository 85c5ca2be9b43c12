#include "session/SingleWindow.h"

#include "system/PrivateFolder.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace qb::session {

namespace {

const QByteArray kMagic = QByteArrayLiteral("QUILLBEAT-WINDOW/1");
const QByteArray kAck = QByteArrayLiteral("ok\n");
// A path is at most PATH_MAX bytes; its base64 form and the words around it fit well within this.
constexpr qsizetype kMaxLine = 8192;
constexpr int kAnswerMs = 5000;
constexpr int kConnectMs = 1000;
constexpr int kClientIdleMs = 3000;

// The folder is private already; this keeps a socket that was somehow reached from elsewhere (a
// shared mount, a moved file descriptor) from being obeyed.
bool peerIsUs(const QLocalSocket* socket)
{
    struct ucred cred
    {
    };
    socklen_t length = sizeof cred;
    const auto fd = static_cast<int>(socket->socketDescriptor());
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return false;
    return cred.uid == ::geteuid();
}

} // namespace

QByteArray encodeRequest(const WindowRequest& request)
{
    if (request.file.isEmpty())
        return kMagic + " raise\n";
    return kMagic + (request.play ? " open play " : " open select ") + request.file.toBase64() + '\n';
}

std::optional<WindowRequest> decodeRequest(const QByteArray& line)
{
    const QList<QByteArray> words = line.split(' ');
    if (words.isEmpty() || words[0] != kMagic)
        return std::nullopt;
    if (words.size() == 2 && words[1] == "raise")
        return WindowRequest{};
    if (words.size() != 4 || words[1] != "open" || (words[2] != "play" && words[2] != "select"))
        return std::nullopt;
    const QByteArray::FromBase64Result path =
        QByteArray::fromBase64Encoding(words[3], QByteArray::AbortOnBase64DecodingErrors);
    if (!path || path.decoded.isEmpty() || path.decoded.front() != '/' || path.decoded.contains('\0'))
        return std::nullopt;
    return WindowRequest{path.decoded, words[2] == "play"};
}

SingleWindow::SingleWindow(QString socketPath, QObject* parent)
    : QObject(parent), m_socketPath(socketPath.isEmpty() ? defaultSocketPath() : std::move(socketPath))
{
}

SingleWindow::~SingleWindow()
{
    if (m_server != nullptr)
        m_server->close(); // removes the socket file
}

QString SingleWindow::defaultSocketPath()
{
    const std::optional<std::string> folder = platform::privateRuntimeFolder("session");
    if (!folder)
        return {};
    return QString::fromStdString(*folder) + QStringLiteral("/window");
}

SingleWindow::Outcome SingleWindow::start(const WindowRequest& request)
{
    if (m_socketPath.isEmpty())
        return Outcome::Alone;
    // Two starts at once must not both find no window and both listen: the lock makes "look, then
    // listen" one step. QLockFile takes over a lock whose owner has died.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    const QDeadlineTimer lockDeadline(kAnswerMs);
    while (!lock.tryLock(0)) {
        if (lock.error() != QLockFile::LockFailedError || lockDeadline.hasExpired()) {
            std::fprintf(stderr, "quillbeat: cannot lock %s\n", qPrintable(lock.fileName()));
            return Outcome::Alone;
        }
        QThread::msleep(20);
    }
    QLocalSocket probe;
    probe.connectToServer(m_socketPath);
    if (probe.waitForConnected(kConnectMs)) {
        probe.disconnectFromServer();
        if (handOver(request))
            return Outcome::HandedOver;
        std::fprintf(stderr, "quillbeat: the running window did not answer at %s\n",
                     qPrintable(m_socketPath));
        return Outcome::Alone;
    }
    // Nobody answers: whatever lies at the path is left from a run that ended without cleaning up.
    QLocalServer::removeServer(m_socketPath);
    return listen() ? Outcome::Listening : Outcome::Alone;
}

bool SingleWindow::handOver(const WindowRequest& request)
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(kConnectMs))
        return false;
    socket.write(encodeRequest(request));
    if (!socket.waitForBytesWritten(kAnswerMs))
        return false;
    const QDeadlineTimer deadline(kAnswerMs);
    QByteArray answer;
    while (!answer.contains('\n') && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        answer += socket.readAll();
    }
    return answer == kAck;
}

bool SingleWindow::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath)) {
        std::fprintf(stderr, "quillbeat: cannot listen at %s: %s\n", qPrintable(m_socketPath),
                     qPrintable(m_server->errorString()));
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleWindow::accept);
    return true;
}

void SingleWindow::accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!peerIsUs(socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        // A client that connects and says nothing (a probe, a stuck peer) is dropped after a while.
        QTimer::singleShot(kClientIdleMs, socket, [socket] { socket->abort(); });
    }
}

void SingleWindow::readFrom(QLocalSocket* socket)
{
    QByteArray buffer = socket->property("qbBuffer").toByteArray() + socket->readAll();
    const qsizetype newline = buffer.indexOf('\n');
    if (newline < 0) {
        if (buffer.size() > kMaxLine)
            socket->abort();
        else
            socket->setProperty("qbBuffer", buffer);
        return;
    }
    const std::optional<WindowRequest> request = decodeRequest(buffer.left(newline));
    if (!request || newline + 1 != buffer.size()) {
        socket->abort();
        return;
    }
    socket->setProperty("qbBuffer", QByteArray());
    socket->write(kAck);
    socket->flush();
    socket->disconnectFromServer();
    QTimer::singleShot(0, this, [this, r = *request] { emit requested(r); });
}

} // namespace qb::session
