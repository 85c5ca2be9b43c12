#include "session/Mpris.h"

#include "MprisAdaptors.h"
#include "session/WindowActions.h"
#include "sound/MciApi.h"
#include "system/CodePage.h"
#include "ui/Form1.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QPointer>
#include <QUrl>
#include <cstdio>
#include <string>

namespace qb::session {

namespace {

const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");

// A file URL from the path's bytes, so that a name that is not UTF-8 keeps its bytes.
QString fileUrl(const QString& path)
{
    const QByteArray bytes = QByteArray::fromStdString(platform::toAnsi(path));
    return QStringLiteral("file://") + QString::fromLatin1(bytes.toPercentEncoding("/"));
}

} // namespace

MprisRootAdaptor::MprisRootAdaptor(QObject* holder, Mpris& mpris)
    : QDBusAbstractAdaptor(holder), m_mpris(mpris)
{
}

QStringList MprisRootAdaptor::supportedMimeTypes() const
{
    return {QStringLiteral("audio/midi"),      QStringLiteral("audio/x-midi"),
            QStringLiteral("audio/x-rmid"),    QStringLiteral("audio/x-wav"),
            QStringLiteral("audio/vnd.wave"),  QStringLiteral("audio/mpeg"),
            QStringLiteral("audio/flac"),      QStringLiteral("audio/x-flac"),
            QStringLiteral("audio/ogg"),       QStringLiteral("audio/x-vorbis+ogg"),
            QStringLiteral("audio/x-opus+ogg")};
}

void MprisRootAdaptor::Raise()
{
    m_mpris.raise();
}

MprisPlayerAdaptor::MprisPlayerAdaptor(MprisObject* holder, Mpris& mpris)
    : QDBusAbstractAdaptor(holder), m_holder(*holder), m_mpris(mpris)
{
}

QString MprisPlayerAdaptor::playbackStatus() const
{
    return m_mpris.playbackStatus();
}
QVariantMap MprisPlayerAdaptor::metadata() const
{
    return m_mpris.metadata();
}
qlonglong MprisPlayerAdaptor::position() const
{
    return m_mpris.position();
}
bool MprisPlayerAdaptor::canPlay() const
{
    return m_mpris.canPlay();
}
void MprisPlayerAdaptor::OpenUri(const QString& uri)
{
    QString error;
    if (!m_mpris.openUri(uri, error))
        m_holder.sendErrorReply(QDBusError::InvalidArgs, error);
}
void MprisPlayerAdaptor::Play()
{
    m_mpris.play();
}
void MprisPlayerAdaptor::Pause()
{
    m_mpris.stop();
}
void MprisPlayerAdaptor::PlayPause()
{
    m_mpris.playPause();
}
void MprisPlayerAdaptor::Stop()
{
    m_mpris.stop();
}

Mpris::Mpris(ui::Form1& form, mci::MciApi& mci, QObject* parent) : QObject(parent), m_form(form), m_mci(mci)
{
    auto* holder = new MprisObject(this);
    holder->setObjectName(QStringLiteral("mpris"));
    new MprisRootAdaptor(holder, *this);
    new MprisPlayerAdaptor(holder, *this);
    connect(&form, &ui::Form1::playbackStateChanged, this, &Mpris::announceChanges);
    m_last = {{QStringLiteral("PlaybackStatus"), playbackStatus()},
              {QStringLiteral("Metadata"), metadata()},
              {QStringLiteral("CanPlay"), canPlay()},
              {QStringLiteral("CanPause"), canPlay()}};
}

Mpris::~Mpris()
{
    if (!m_registered)
        return;
    QDBusConnection bus(m_connectionName);
    bus.unregisterObject(QLatin1String(kObjectPath));
    bus.unregisterService(QLatin1String(kServiceName));
}

bool Mpris::registerOn(QDBusConnection bus)
{
    if (!bus.isConnected()) {
        std::fprintf(stderr, "quillbeat: no D-Bus session bus; media keys are not available\n");
        return false;
    }
    auto* holder = findChild<QObject*>(QStringLiteral("mpris"));
    if (!bus.registerObject(QLatin1String(kObjectPath), holder, QDBusConnection::ExportAdaptors)) {
        std::fprintf(stderr, "quillbeat: cannot register the media controls on D-Bus\n");
        return false;
    }
    if (!bus.registerService(QLatin1String(kServiceName))) {
        std::fprintf(stderr, "quillbeat: the D-Bus name %s is taken: %s\n", kServiceName,
                     qPrintable(bus.lastError().message()));
        bus.unregisterObject(QLatin1String(kObjectPath));
        return false;
    }
    m_connectionName = bus.name();
    m_registered = true;
    return true;
}

QString Mpris::playbackStatus() const
{
    const playback::PlaybackState& state = m_form.state();
    if (state.IsPlaying)
        return QStringLiteral("Playing");
    return state.IsOpen ? QStringLiteral("Paused") : QStringLiteral("Stopped");
}

bool Mpris::canPlay() const
{
    return m_form.state().IsOpen;
}

qlonglong Mpris::statusMs(const char* item) const
{
    if (!m_form.state().IsOpen)
        return -1;
    char reply[32] = {};
    const std::string command = std::string("status midi ") + item;
    if (m_mci.mciSendStringA(command.c_str(), reply, sizeof reply, nullptr) != 0)
        return -1;
    bool ok = false;
    const qlonglong ms = QByteArray(reply).trimmed().toLongLong(&ok);
    return ok && ms >= 0 ? ms : -1;
}

qlonglong Mpris::position() const
{
    const qlonglong ms = statusMs("position");
    return ms > 0 ? ms * 1000 : 0;
}

QVariantMap Mpris::metadata() const
{
    const playback::PlaybackState& state = m_form.state();
    if (!state.IsOpen)
        return {{QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(QStringLiteral(
                                                      "/org/mpris/MediaPlayer2/TrackList/NoTrack")))}};
    QVariantMap meta{
        {QStringLiteral("mpris:trackid"),
         QVariant::fromValue(QDBusObjectPath(QStringLiteral("/io/github/quillbeat/Quillbeat/Track")))},
        {QStringLiteral("xesam:title"), currentTitle(m_form)},
        {QStringLiteral("xesam:url"), fileUrl(state.FilePath)},
    };
    if (const qlonglong ms = statusMs("length"); ms > 0)
        meta.insert(QStringLiteral("mpris:length"), ms * 1000);
    return meta;
}

void Mpris::play()
{
    // Decided when it runs, like PlayPause: with nothing open Play would only ask for a file.
    QPointer<ui::Form1> form(&m_form);
    whenWindowFree(m_form, [form] {
        if (form && form->state().IsOpen)
            form->Command1_Click();
    });
}

void Mpris::stop()
{
    QPointer<ui::Form1> form(&m_form);
    whenWindowFree(m_form, [form] {
        if (form)
            form->Command2_Click();
    });
}

void Mpris::playPause()
{
    // Decided when it runs, so a PlayPause queued behind a dialog acts on the state it then finds.
    QPointer<ui::Form1> form(&m_form);
    whenWindowFree(m_form, [form] {
        ui::Form1* window = form.data();
        if (!window)
            return;
        if (window->state().IsPlaying)
            window->Command2_Click();
        else if (window->state().IsOpen)
            window->Command1_Click();
    });
}

void Mpris::raise()
{
    raiseWindow(m_form);
}

bool Mpris::openUri(const QString& uri, QString& error)
{
    const QUrl url(uri);
    if (!url.isValid() || !url.isLocalFile()) {
        error = QStringLiteral("Only file: URIs can be opened: %1").arg(uri);
        return false;
    }
    // The path's bytes as the URI spells them, so a name that is not UTF-8 keeps them.
    const QByteArray path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (!path.startsWith('/') || path.contains('\0')) {
        error = QStringLiteral("Not a file on this computer: %1").arg(uri);
        return false;
    }
    takeRequest(m_form, WindowRequest{path, true});
    return true;
}

void Mpris::announceChanges()
{
    const QVariantMap now{{QStringLiteral("PlaybackStatus"), playbackStatus()},
                          {QStringLiteral("Metadata"), metadata()},
                          {QStringLiteral("CanPlay"), canPlay()},
                          {QStringLiteral("CanPause"), canPlay()}};
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (m_last.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    m_last = now;
    if (changed.isEmpty() || !m_registered)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(kObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    QDBusConnection(m_connectionName).send(signal);
}

} // namespace qb::session
