#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QStringList>
#include <QVariantMap>

namespace qb::session {

class Mpris;

// The object the adaptors are exported on: D-Bus tells it which call it is serving, so that a method
// can answer with an error.
class MprisObject : public QObject, public QDBusContext
{
    Q_OBJECT
public:
    using QObject::QObject;
};

// org.mpris.MediaPlayer2: the application as a whole.
class MprisRootAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ canQuit)
    Q_PROPERTY(bool CanRaise READ canRaise)
    Q_PROPERTY(bool HasTrackList READ hasTrackList)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)
public:
    MprisRootAdaptor(QObject* holder, Mpris& mpris);

    bool canQuit() const { return false; }
    bool canRaise() const { return true; }
    bool hasTrackList() const { return false; }
    QString identity() const { return QStringLiteral("Quillbeat"); }
    QString desktopEntry() const { return QStringLiteral("io.github.quillbeat.Quillbeat"); }
    QStringList supportedUriSchemes() const { return {QStringLiteral("file")}; }
    QStringList supportedMimeTypes() const;

public slots:
    void Raise();
    void Quit() {}

private:
    Mpris& m_mpris;
};

// org.mpris.MediaPlayer2.Player: the transport. CanControl is true: the transport does obey.
class MprisPlayerAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(double Rate READ rate WRITE setRate)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(double Volume READ volume WRITE setVolume)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(QString LoopStatus READ loopStatus)
    Q_PROPERTY(double MinimumRate READ rate)
    Q_PROPERTY(double MaximumRate READ rate)
    Q_PROPERTY(bool CanGoNext READ no)
    Q_PROPERTY(bool CanGoPrevious READ no)
    Q_PROPERTY(bool CanPlay READ canPlay)
    Q_PROPERTY(bool CanPause READ canPlay)
    Q_PROPERTY(bool CanSeek READ no)
    Q_PROPERTY(bool CanControl READ yes)
public:
    MprisPlayerAdaptor(MprisObject* holder, Mpris& mpris);

    QString playbackStatus() const;
    QVariantMap metadata() const;
    double rate() const { return 1.0; }
    void setRate(double) {}
    double volume() const;
    void setVolume(double volume);
    qlonglong position() const;
    QString loopStatus() const { return QStringLiteral("Track"); }
    bool canPlay() const;
    bool yes() const { return true; }
    bool no() const { return false; }

public slots:
    void Play();
    void Pause();
    void PlayPause();
    void Stop();
    void Next() {}
    void Previous() {}
    void Seek(qlonglong) {}
    void SetPosition(const QDBusObjectPath&, qlonglong) {}
    void OpenUri(const QString& uri);

signals:
    void Seeked(qlonglong position);

private:
    MprisObject& m_holder;
    Mpris& m_mpris;
};

// org.freedesktop.DBus.Properties for the other two, in place of the bus binding's own, which converts
// a value of another type where it can (a set of Volume to the text "0.5" would pass) and answers
// InternalError where it cannot. Here a set must carry the property's own type, or it is refused with
// InvalidArgs; a property that cannot be set is refused with PropertyReadOnly, one that does not exist
// with UnknownProperty, and an interface the object lacks with UnknownInterface.
class MprisPropertiesAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.DBus.Properties")
    // The binding describes this standard interface itself, once.
    Q_CLASSINFO("D-Bus Introspection", " ")
public:
    MprisPropertiesAdaptor(MprisObject* holder, QList<QDBusAbstractAdaptor*> interfaces);

public slots:
    QDBusVariant Get(const QString& interface, const QString& name);
    QVariantMap GetAll(const QString& interface);
    void Set(const QString& interface, const QString& name, const QDBusVariant& value);

private:
    // The adaptor of `interface` (any of them for the empty name) that has property `name`; null, with
    // the error sent, when there is none.
    QDBusAbstractAdaptor* holding(const QString& interface, const QString& name, int* index);

    MprisObject& m_holder;
    QList<QDBusAbstractAdaptor*> m_interfaces;
};

} // namespace qb::session
