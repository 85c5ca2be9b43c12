#pragma once

#include "posix/UniqueFd.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <optional>

class QSocketNotifier;

namespace qb::session {

// What a later start asks of the running window.
struct WindowRequest
{
    // The file to select, absolute, as the file system spells it (any bytes but NUL); empty: only
    // raise the window.
    QByteArray file;
    bool play = false; // play the file once it is selected
    // The launch the desktop started for the later start (DESKTOP_STARTUP_ID, XDG_ACTIVATION_TOKEN),
    // which the window answers for when it raises itself; empty when there was none.
    QByteArray startupId = {};
    QByteArray activationToken = {};
    // Play the loop points files mark, from now on (the later start's --loop-points).
    bool loopPoints = false;
    // The track of `file` to play, 1 the first; 0: none named (the later start's --track).
    int track = 0;
    // Look for the loop files repeat, from now on (the later start's --find-loop).
    bool findLoop = false;
};

// One request per connection, one line of ASCII:
//   "QUILLBEAT-WINDOW/1 raise[ loop-points][ find-loop][ LAUNCH]\n"  or
//   "QUILLBEAT-WINDOW/1 open play|select <base64 of the path>[ track=N][ loop-points][ find-loop][ LAUNCH]\n"
// where LAUNCH is "startup=<base64>" and/or "token=<base64>" (in that order), answered by "ok\n" once
// the window has taken it. decodeRequest() is given the line without its newline and refuses anything
// else (a relative or empty path, a NUL in it, stray or repeated fields).
QByteArray encodeRequest(const WindowRequest& request);
std::optional<WindowRequest> decodeRequest(const QByteArray& line);

// One window per user: the first start listens on a local socket in the user's private run-time
// folder (only its owner can reach it; connections from another user id are dropped as well) and
// later starts hand their request over to it. A socket left by a crashed run is found (nobody
// answers) and replaced. Plain POSIX sockets watched by the event loop: a window that only listens
// should not carry a network stack, a rule the idle memory figure guards (bench/README.md). UI
// thread only.
class SingleWindow : public QObject
{
    Q_OBJECT
public:
    enum class Outcome
    {
        Listening,  // this process is the window; requests arrive through requested()
        HandedOver, // a running window took the request: this process should end
        Refused,    // a window is there but did not take the request in time: this process should fail
        Alone,      // no private folder or socket could be had: run without the single-window service
    };

    // `socketPath` empty: defaultSocketPath().
    explicit SingleWindow(QString socketPath = {}, QObject* parent = nullptr);
    ~SingleWindow() override;

    // Hands `request` to the running window or, when there is none, starts listening. A window that
    // is there but does not take the request within a few seconds gives Refused, with a note on
    // standard error. May come before the application is made: what arrives is then taken from watch().
    Outcome start(const WindowRequest& request);
    // Takes the requests that arrive from here on, and those that came since start(). Call with the
    // application made (start() does, when it was); again, it does nothing.
    void watch();

    // <private run-time folder>/window; empty when the folder is unusable.
    static QString defaultSocketPath();
    QString socketPath() const { return m_socketPath; }

signals:
    // A well-formed request from a later start, once it has been acknowledged. Queued: it never
    // arrives inside start().
    void requested(const qb::session::WindowRequest& request);

private:
    class Client;

    bool handOver(int fd, const WindowRequest& request);
    bool listen();
    void accept();
    void answer(Client* client, const WindowRequest& request);

    QString m_socketPath;
    posix::UniqueFd m_listener;
    QSocketNotifier* m_listenerNotifier = nullptr;
};

} // namespace qb::session
