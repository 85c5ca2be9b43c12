#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace qb::ui {
class Form1;
}

namespace qb::session {

// The main window on the desktop's media controls: MPRIS 2 (org.mpris.MediaPlayer2 and its .Player
// interface) at /org/mpris/MediaPlayer2 under the bus name org.mpris.MediaPlayer2.quillbeat.
//
// Each method does what the matching command does, through the window's own handlers and once the
// window takes input (see whenWindowFree): Play is Play, Pause and Stop are Stop, PlayPause is Stop
// while playing and Play otherwise, Raise brings the window to the front. The player loops one file
// and cannot seek, so Next, Previous, Seek, SetPosition and OpenUri do nothing. PlaybackStatus is
// "Playing" while the user wants playback and "Stopped" otherwise. Property changes are announced
// with org.freedesktop.DBus.Properties.PropertiesChanged. UI thread only; `form` must outlive this.
class Mpris : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.quillbeat";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";

    explicit Mpris(ui::Form1& form, QObject* parent = nullptr);
    ~Mpris() override;

    // Registers the object and the bus name on `bus`. False, with a note on standard error, when the
    // bus is not connected or the name is taken; the program then runs without media controls.
    bool registerOn(QDBusConnection bus);

    // The player interface's state, as the bus sees it.
    QString playbackStatus() const;
    QVariantMap metadata() const;

    // Performed by the adaptors.
    void play();
    void stop();
    void playPause();
    void raise();

private:
    void announceChanges();

    ui::Form1& m_form;
    QString m_connectionName;
    QString m_lastStatus;
    QVariantMap m_lastMetadata;
    bool m_registered = false;
};

} // namespace qb::session
