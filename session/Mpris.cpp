#include "session/Mpris.h"

#include "MprisAdaptors.h"
#include "session/WindowActions.h"
#include "system/CodePage.h"
#include "ui/Form1.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QPointer>
#include <cstdio>

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
    return {QStringLiteral("audio/midi"),         QStringLiteral("audio/x-midi"),
            QStringLiteral("audio/x-wav"),        QStringLiteral("audio/vnd.wave"),
            QStringLiteral("audio/mpeg"),         QStringLiteral("audio/flac"),
            QStringLiteral("audio/x-flac"),       QStringLiteral("audio/ogg"),
            QStringLiteral("audio/x-vorbis+ogg"), QStringLiteral("audio/x-opus+ogg")};
}

void MprisRootAdaptor::Raise()
{
    m_mpris.raise();
}

MprisPlayerAdaptor::MprisPlayerAdaptor(QObject* holder, Mpris& mpris)
    : QDBusAbstractAdaptor(holder), m_mpris(mpris)
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

Mpris::Mpris(ui::Form1& form, QObject* parent) : QObject(parent), m_form(form)
{
    auto* holder = new QObject(this);
    holder->setObjectName(QStringLiteral("mpris"));
    new MprisRootAdaptor(holder, *this);
    new MprisPlayerAdaptor(holder, *this);
    connect(&form, &ui::Form1::playbackStateChanged, this, &Mpris::announceChanges);
    m_lastStatus = playbackStatus();
    m_lastMetadata = metadata();
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
    return m_form.state().IsPlaying ? QStringLiteral("Playing") : QStringLiteral("Stopped");
}

QVariantMap Mpris::metadata() const
{
    const playback::PlaybackState& state = m_form.state();
    if (!state.IsOpen)
        return {{QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(QStringLiteral(
                                                      "/org/mpris/MediaPlayer2/TrackList/NoTrack")))}};
    return {
        {QStringLiteral("mpris:trackid"),
         QVariant::fromValue(QDBusObjectPath(QStringLiteral("/io/github/quillbeat/Quillbeat/Track")))},
        {QStringLiteral("xesam:title"), currentTitle(m_form)},
        {QStringLiteral("xesam:url"), fileUrl(state.FilePath)},
    };
}

void Mpris::play()
{
    QPointer<ui::Form1> form(&m_form);
    whenWindowFree(m_form, [form] {
        if (form)
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
        else
            window->Command1_Click();
    });
}

void Mpris::raise()
{
    raiseWindow(m_form);
}

void Mpris::announceChanges()
{
    QVariantMap changed;
    const QString status = playbackStatus();
    if (status != m_lastStatus)
        changed.insert(QStringLiteral("PlaybackStatus"), status);
    const QVariantMap meta = metadata();
    if (meta != m_lastMetadata)
        changed.insert(QStringLiteral("Metadata"), meta);
    m_lastStatus = status;
    m_lastMetadata = meta;
    if (changed.isEmpty() || !m_registered)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(kObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    QDBusConnection(m_connectionName).send(signal);
}

} // namespace qb::session
