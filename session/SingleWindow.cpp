#include "session/SingleWindow.h"

#include "system/PrivateFolder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLockFile>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
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

// The socket's address; nullopt when the path does not fit one.
std::optional<sockaddr_un> addressOf(const QString& path)
{
    const QByteArray bytes = path.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (bytes.isEmpty() || static_cast<std::size_t>(bytes.size()) >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return address;
}

// The folder is private already; this keeps a socket that was somehow reached from elsewhere (a
// shared mount, a moved file descriptor) from being obeyed.
bool peerIsUs(int fd)
{
    struct ucred cred
    {
    };
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return false;
    return cred.uid == ::geteuid();
}

// A connection to whoever listens at `path`, within `timeoutMs`; invalid when nobody does.
posix::UniqueFd connectTo(const QString& path, int timeoutMs)
{
    const std::optional<sockaddr_un> address = addressOf(path);
    if (!address)
        return {};
    posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return {};
    // A listener whose queue is full keeps a blocking connect waiting; this bounds the wait.
    const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int status = 0;
    do
        status = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    while (status != 0 && errno == EINTR);
    return status == 0 ? std::move(fd) : posix::UniqueFd();
}

// Waits until `fd` has something to read, or the deadline passes.
bool waitReadable(int fd, const QDeadlineTimer& deadline)
{
    while (!deadline.hasExpired()) {
        pollfd watch{fd, POLLIN, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(deadline.remainingTime()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
    return false;
}

} // namespace

// One connection to the listening window: a line of request in, "ok" out, then it closes. Anything
// else (no newline within kMaxLine, a malformed line, more than one line, silence) drops it.
class SingleWindow::Client : public QObject
{
public:
    Client(posix::UniqueFd fd, SingleWindow* window)
        : QObject(window), m_fd(std::move(fd)),
          m_notifier(std::make_unique<QSocketNotifier>(m_fd.get(), QSocketNotifier::Read))
    {
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, this,
                         [this, window] { read(window); });
        // A client that connects and says nothing (a probe, a stuck peer) is dropped after a while.
        QTimer::singleShot(kClientIdleMs, this, [this] { drop(); });
    }

    int fd() const { return m_fd.get(); }

    void drop()
    {
        m_notifier->setEnabled(false);
        deleteLater();
    }

private:
    void read(SingleWindow* window)
    {
        char chunk[4096];
        bool ended = false; // the peer has sent all it will (it may still read the answer)
        for (;;) {
            const ssize_t got = ::recv(m_fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (got > 0) {
                m_buffer.append(chunk, got);
                if (m_buffer.size() > kMaxLine + 1)
                    return drop();
                continue;
            }
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            ended = true; // end of stream, or a failed connection
            break;
        }
        const qsizetype newline = m_buffer.indexOf('\n');
        if (newline < 0) {
            if (ended || m_buffer.size() > kMaxLine)
                drop();
            return;
        }
        const std::optional<WindowRequest> request = decodeRequest(m_buffer.left(newline));
        if (!request || newline + 1 != m_buffer.size())
            return drop();
        window->answer(this, *request);
    }

    posix::UniqueFd m_fd;
    std::unique_ptr<QSocketNotifier> m_notifier; // goes before the descriptor it watches is closed
    QByteArray m_buffer;
};

QByteArray encodeRequest(const WindowRequest& request)
{
    QByteArray line = kMagic;
    if (request.file.isEmpty())
        line += " raise";
    else
        line += (request.play ? " open play " : " open select ") + request.file.toBase64();
    if (!request.file.isEmpty() && request.track > 0)
        line += " track=" + QByteArray::number(request.track);
    if (request.loopPoints)
        line += " loop-points";
    if (request.findLoop)
        line += " find-loop";
    if (!request.startupId.isEmpty())
        line += " startup=" + request.startupId.toBase64();
    if (!request.activationToken.isEmpty())
        line += " token=" + request.activationToken.toBase64();
    return line + '\n';
}

std::optional<WindowRequest> decodeRequest(const QByteArray& line)
{
    QList<QByteArray> words = line.split(' ');
    if (words.isEmpty() || words[0] != kMagic)
        return std::nullopt;
    WindowRequest request;
    // The launch's fields come last, each at most once and in their order.
    const auto launchField = [&words](const QByteArray& key, QByteArray& value) {
        if (words.size() < 3 || !words.last().startsWith(key))
            return true;
        const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
            words.last().mid(key.size()), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.isEmpty() || decoded.decoded.contains('\0'))
            return false;
        value = decoded.decoded;
        words.removeLast();
        return true;
    };
    if (!launchField("token=", request.activationToken) || !launchField("startup=", request.startupId))
        return std::nullopt;
    if (words.size() >= 3 && words.last() == "find-loop") {
        request.findLoop = true;
        words.removeLast();
    }
    if (words.size() >= 3 && words.last() == "loop-points") {
        request.loopPoints = true;
        words.removeLast();
    }
    if (words.size() == 5 && words.last().startsWith("track=")) {
        bool number = false;
        request.track = words.last().mid(6).toInt(&number);
        if (!number || request.track < 1 || words.last().mid(6) != QByteArray::number(request.track))
            return std::nullopt;
        words.removeLast();
    }
    if (words.size() == 2 && words[1] == "raise")
        return request;
    if (words.size() != 4 || words[1] != "open" || (words[2] != "play" && words[2] != "select"))
        return std::nullopt;
    const QByteArray::FromBase64Result path =
        QByteArray::fromBase64Encoding(words[3], QByteArray::AbortOnBase64DecodingErrors);
    if (!path || path.decoded.isEmpty() || path.decoded.front() != '/' || path.decoded.contains('\0'))
        return std::nullopt;
    request.file = path.decoded;
    request.play = words[2] == "play";
    return request;
}

SingleWindow::SingleWindow(QString socketPath, QObject* parent)
    : QObject(parent), m_socketPath(socketPath.isEmpty() ? defaultSocketPath() : std::move(socketPath))
{
}

SingleWindow::~SingleWindow()
{
    if (m_listener) {
        delete m_listenerNotifier;
        m_listener.reset();
        ::unlink(m_socketPath.toLocal8Bit().constData());
    }
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
    if (posix::UniqueFd window = connectTo(m_socketPath, kConnectMs)) {
        if (handOver(window.get(), request))
            return Outcome::HandedOver;
        std::fprintf(stderr, "quillbeat: the running window did not answer at %s\n",
                     qPrintable(m_socketPath));
        return Outcome::Refused;
    }
    // Nobody answers: whatever lies at the path is left from a run that ended without cleaning up.
    ::unlink(m_socketPath.toLocal8Bit().constData());
    return listen() ? Outcome::Listening : Outcome::Alone;
}

bool SingleWindow::handOver(int fd, const WindowRequest& request)
{
    const QByteArray line = encodeRequest(request);
    qsizetype sent = 0;
    while (sent < line.size()) {
        const ssize_t done =
            ::send(fd, line.constData() + sent, static_cast<std::size_t>(line.size() - sent), MSG_NOSIGNAL);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        sent += done;
    }
    const QDeadlineTimer deadline(kAnswerMs);
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() <= kAck.size() && waitReadable(fd, deadline)) {
        char chunk[16];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (got <= 0)
            break;
        answer.append(chunk, got);
    }
    return answer == kAck;
}

bool SingleWindow::listen()
{
    const std::optional<sockaddr_un> address = addressOf(m_socketPath);
    posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const QByteArray path = m_socketPath.toLocal8Bit();
    const char* failed = !address ? "the path is too long" : !fd ? std::strerror(errno) : nullptr;
    if (!failed && ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
        failed = std::strerror(errno);
    // Only this user may connect (the folder around it is private as well).
    if (!failed && (::chmod(path.constData(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd.get(), 8) != 0)) {
        failed = std::strerror(errno);
        ::unlink(path.constData());
    }
    if (failed) {
        std::fprintf(stderr, "quillbeat: cannot listen at %s: %s\n", path.constData(), failed);
        return false;
    }
    m_listener = std::move(fd);
    // Those who connect before there is an event loop to watch with wait in the socket's queue.
    if (QCoreApplication::instance() != nullptr)
        watch();
    return true;
}

void SingleWindow::watch()
{
    if (!m_listener || m_listenerNotifier != nullptr)
        return;
    m_listenerNotifier = new QSocketNotifier(m_listener.get(), QSocketNotifier::Read, this);
    connect(m_listenerNotifier, &QSocketNotifier::activated, this, &SingleWindow::accept);
}

void SingleWindow::accept()
{
    for (;;) {
        posix::UniqueFd fd(::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return; // EAGAIN: no one else waits; anything else is tried again at the next wake
        }
        if (peerIsUs(fd.get()))
            new Client(std::move(fd), this);
    }
}

void SingleWindow::answer(Client* client, const WindowRequest& request)
{
    // Three bytes into an empty socket buffer: the send does not block or come up short.
    ::send(client->fd(), kAck.constData(), static_cast<std::size_t>(kAck.size()),
           MSG_NOSIGNAL | MSG_DONTWAIT);
    client->drop();
    QTimer::singleShot(0, this, [this, request] { emit requested(request); });
}

} // namespace qb::session
