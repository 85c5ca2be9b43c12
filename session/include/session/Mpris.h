#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace qb::mci {
class MciApi;
}
namespace qb::ui {
class Form1;
}

namespace qb::session {

// The main window on the desktop's media controls: MPRIS 2 (org.mpris.MediaPlayer2 and its .Player
// interface) at /org/mpris/MediaPlayer2 under the bus name org.mpris.MediaPlayer2.quillbeat.
//
// Each method does what the matching command does, through the window's own handlers and once the
// window takes input (see whenWindowFree): Play is Play, Pause and Stop are Stop, PlayPause is Stop
// while playing and Play otherwise, Raise brings the window to the front. With no file open Play and
// PlayPause do nothing (CanPlay is false), so a media key pressed then raises no message box. OpenUri
// takes a file: URI of this computer as a later start's `--play FILE` is taken, and refuses any other
// URI (another scheme, another host: see platform::localFileOfUri) with the command line's message.
// The player loops one file and cannot seek, so Next, Previous, Seek and SetPosition do nothing and
// LoopStatus is "Track" for good. PlaybackStatus is "Playing" while the user wants playback, "Paused"
// while a file is open (Play goes on where Stop left it) and "Stopped" with none. Metadata's
// mpris:length and Position come from the sound service ("status midi length" and "position").
// Volume is the sound service's volume ("status midi volume", "setaudio midi volume to"), from 0 to 1:
// a set beyond either end is that end, one of another type is refused with InvalidArgs by the bus
// binding, and one made with no file open waits for the next file.
// Property changes are announced with org.freedesktop.DBus.Properties.PropertiesChanged. UI thread
// only; `form` and `mci` must outlive this.
class Mpris : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.quillbeat";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";

    Mpris(ui::Form1& form, mci::MciApi& mci, QObject* parent = nullptr);
    ~Mpris() override;

    // Registers the object and the bus name on `bus`. False, with a note on standard error, when the
    // bus is not connected or the name is taken; the program then runs without media controls.
    bool registerOn(QDBusConnection bus);

    // The player interface's state, as the bus sees it.
    QString playbackStatus() const;
    QVariantMap metadata() const;
    // Where the file plays, in microseconds; 0 with no file open.
    qlonglong position() const;
    bool canPlay() const;
    // From 0 (silent) to 1 (full).
    double volume() const;

    // Performed by the adaptors.
    void play();
    void stop();
    void playPause();
    void raise();
    void setVolume(double volume);
    // False, with the reason in `error`, for anything but an absolute file: URI of this computer.
    bool openUri(const QString& uri, QString& error);

private:
    void announceChanges();
    QVariantMap announced() const;

    // The sound service's number for "status midi <item>"; -1 when there is none.
    qlonglong statusNumber(const char* item) const;
    // Gives the sound service the volume last set, unless it has it already.
    void applyVolume();

    ui::Form1& m_form;
    mci::MciApi& m_mci;
    QString m_connectionName;
    QVariantMap m_last; // the properties last announced
    bool m_registered = false;
    double m_volume = 1.0; // the volume last set over the bus
};

} // namespace qb::session
