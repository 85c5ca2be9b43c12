#include "session/Mpris.h"

#include "MprisAdaptors.h"
#include "session/WindowActions.h"
#include "sound/MciApi.h"
#include "system/CodePage.h"
#include "system/FileUri.h"
#include "system/SettingsStore.h"
#include "ui/Form1.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMetaProperty>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
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
    // A client's read is a look at the position like any other: it may find a jump.
    return m_mpris.position();
}
bool MprisPlayerAdaptor::canPlay() const
{
    return m_mpris.canPlay();
}
double MprisPlayerAdaptor::volume() const
{
    return m_mpris.volume();
}
void MprisPlayerAdaptor::setVolume(double volume)
{
    m_mpris.setVolume(volume);
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

MprisPropertiesAdaptor::MprisPropertiesAdaptor(MprisObject* holder, QList<QDBusAbstractAdaptor*> interfaces)
    : QDBusAbstractAdaptor(holder), m_holder(*holder), m_interfaces(std::move(interfaces))
{
}

namespace {

QString interfaceOf(const QDBusAbstractAdaptor* adaptor)
{
    const QMetaObject* meta = adaptor->metaObject();
    return QString::fromLatin1(meta->classInfo(meta->indexOfClassInfo("D-Bus Interface")).value());
}

} // namespace

QDBusAbstractAdaptor* MprisPropertiesAdaptor::holding(const QString& interface, const QString& name,
                                                      int* index)
{
    bool interfaceFound = false;
    for (QDBusAbstractAdaptor* adaptor : std::as_const(m_interfaces)) {
        if (!interface.isEmpty() && interfaceOf(adaptor) != interface)
            continue;
        interfaceFound = true;
        const int found = adaptor->metaObject()->indexOfProperty(name.toUtf8().constData());
        if (found >= QObject::staticMetaObject.propertyCount()) {
            *index = found;
            return adaptor;
        }
    }
    if (interfaceFound)
        m_holder.sendErrorReply(QDBusError::UnknownProperty, QStringLiteral("No property %1").arg(name));
    else
        m_holder.sendErrorReply(QDBusError::UnknownInterface,
                                QStringLiteral("No interface %1").arg(interface));
    return nullptr;
}

QDBusVariant MprisPropertiesAdaptor::Get(const QString& interface, const QString& name)
{
    int index = -1;
    QDBusAbstractAdaptor* adaptor = holding(interface, name, &index);
    return adaptor ? QDBusVariant(adaptor->metaObject()->property(index).read(adaptor)) : QDBusVariant();
}

QVariantMap MprisPropertiesAdaptor::GetAll(const QString& interface)
{
    QVariantMap all;
    bool interfaceFound = false;
    for (QDBusAbstractAdaptor* adaptor : std::as_const(m_interfaces)) {
        if (!interface.isEmpty() && interfaceOf(adaptor) != interface)
            continue;
        interfaceFound = true;
        const QMetaObject* meta = adaptor->metaObject();
        for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i)
            all.insert(QString::fromLatin1(meta->property(i).name()), meta->property(i).read(adaptor));
    }
    if (!interfaceFound)
        m_holder.sendErrorReply(QDBusError::UnknownInterface,
                                QStringLiteral("No interface %1").arg(interface));
    return all;
}

void MprisPropertiesAdaptor::Set(const QString& interface, const QString& name, const QDBusVariant& value)
{
    int index = -1;
    QDBusAbstractAdaptor* adaptor = holding(interface, name, &index);
    if (!adaptor)
        return;
    QMetaProperty property = adaptor->metaObject()->property(index);
    if (!property.isWritable())
        m_holder.sendErrorReply(QDBusError::PropertyReadOnly, QStringLiteral("%1 is read-only").arg(name));
    else if (value.variant().metaType() != property.metaType())
        m_holder.sendErrorReply(QDBusError::InvalidArgs,
                                QStringLiteral("%1 takes a value of type %2").arg(name, property.typeName()));
    else
        property.write(adaptor, value.variant());
}

Mpris::Mpris(ui::Form1& form, mci::MciApi& mci, platform::SettingsStore& settings, QObject* parent)
    : QObject(parent), m_form(form), m_mci(mci), m_settings(settings), m_volumeSave(new QTimer(this)),
      m_positionWatch(new QTimer(this)), m_clock([] {
          return std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
              .count();
      })
{
    auto* holder = new MprisObject(this);
    holder->setObjectName(QStringLiteral("mpris"));
    auto* root = new MprisRootAdaptor(holder, *this);
    auto* player = new MprisPlayerAdaptor(holder, *this);
    new MprisPropertiesAdaptor(holder, {root, player});
    connect(&form, &ui::Form1::playbackStateChanged, this, &Mpris::announceChanges);

    m_volume = keptVolume(m_settings);
    // A slider dragged sets the volume many times a second; the file is written once it rests.
    m_volumeSave->setSingleShot(true);
    m_volumeSave->setInterval(kVolumeSaveDelayMs);
    connect(m_volumeSave, &QTimer::timeout, this, &Mpris::saveVolume);
    m_positionWatch->setInterval(kPositionWatchMs);
    connect(m_positionWatch, &QTimer::timeout, this, [this] { checkPosition(servicePosition()); });
    m_last = announced();
}

Mpris::~Mpris()
{
    if (m_volumeSave->isActive())
        saveVolume();
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
    expectFromHere();
    return true;
}

void Mpris::setClock(std::function<qint64()> microseconds)
{
    m_clock = std::move(microseconds);
    expectFromHere();
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

qlonglong Mpris::statusNumber(const char* item) const
{
    if (!m_form.state().IsOpen)
        return -1;
    char reply[32] = {};
    const std::string command = std::string("status midi ") + item;
    if (m_mci.mciSendStringA(command.c_str(), reply, sizeof reply, nullptr) != 0)
        return -1;
    bool ok = false;
    const qlonglong number = QByteArray(reply).trimmed().toLongLong(&ok);
    return ok && number >= 0 ? number : -1;
}

qlonglong Mpris::servicePosition() const
{
    const qlonglong ms = statusNumber("position");
    return ms > 0 ? ms * 1000 : 0;
}

qlonglong Mpris::position()
{
    const qlonglong now = servicePosition();
    checkPosition(now);
    return now;
}

void Mpris::checkPosition(qlonglong position)
{
    if (!m_expected)
        return;
    const qint64 at = m_clock();
    const qlonglong expected = m_expected->position + (at - m_expected->at);
    if (std::llabs(position - expected) <= kPositionTolerance)
        return;
    m_expected = Expected{position, at};
    if (!m_registered)
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(QLatin1String(kObjectPath), kPlayerInterface, QStringLiteral("Seeked"));
    signal << position;
    QDBusConnection(m_connectionName).send(signal);
}

void Mpris::expectFromHere()
{
    if (!m_registered || !m_form.state().IsPlaying) {
        m_expected.reset();
        m_positionWatch->stop();
        return;
    }
    m_expected = Expected{servicePosition(), m_clock()};
    m_positionWatch->start();
}

double Mpris::volume() const
{
    const qlonglong level = statusNumber("volume");
    return level >= 0 ? static_cast<double>(level) / 1000.0 : m_volume;
}

void Mpris::setVolume(double volume)
{
    if (std::isnan(volume))
        return;
    m_volume = std::clamp(volume, 0.0, 1.0);
    applyVolume();
    announceChanges();
    m_volumeSave->start();
}

void Mpris::saveVolume()
{
    m_volumeSave->stop();
    if (!keepVolume(m_settings, m_volume))
        std::fprintf(stderr, "quillbeat: the volume could not be kept in the settings file\n");
}

void Mpris::applyVolume()
{
    const long level = std::lround(m_volume * 1000.0);
    if (!m_form.state().IsOpen || statusNumber("volume") == level)
        return;
    m_mci.mciSendStringA(volumeCommand(m_volume).c_str(), nullptr, 0, nullptr);
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
    if (const qlonglong ms = statusNumber("length"); ms > 0)
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
    // The command line's rules and words, so the desktop and a terminal are told the same.
    if (!QUrl(uri).isLocalFile()) {
        error = QStringLiteral("only files on this computer can be played, not %1").arg(uri);
        return false;
    }
    const std::optional<QByteArray> path = platform::localFileOfUri(uri.toUtf8());
    if (!path) {
        error = QStringLiteral("not a file on this computer: %1").arg(uri);
        return false;
    }
    takeRequest(m_form, WindowRequest{*path, true});
    return true;
}

QVariantMap Mpris::announced() const
{
    return {{QStringLiteral("PlaybackStatus"), playbackStatus()},
            {QStringLiteral("Metadata"), metadata()},
            {QStringLiteral("CanPlay"), canPlay()},
            {QStringLiteral("CanPause"), canPlay()},
            {QStringLiteral("Volume"), volume()}};
}

void Mpris::announceChanges()
{
    // A file opened since a volume was set with none open takes it now.
    applyVolume();
    const QVariantMap now = announced();
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (m_last.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    m_last = now;
    // Play, Stop and a new file: clients take the position afresh from here.
    if (changed.contains(QStringLiteral("PlaybackStatus")) || changed.contains(QStringLiteral("Metadata")))
        expectFromHere();
    if (changed.isEmpty() || !m_registered)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QLatin1String(kObjectPath),
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << kPlayerInterface << changed << QStringList();
    QDBusConnection(m_connectionName).send(signal);
}

} // namespace qb::session
