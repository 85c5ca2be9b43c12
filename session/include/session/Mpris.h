#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <optional>
#include <string>

class QTimer;

namespace qb::mci {
class MciApi;
}
namespace qb::platform {
class SettingsStore;
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
//
// Seeked: clients take the position to run on with the time played, so every other move of it is
// announced with Seeked and the new position: each pass of the whole-file loop, each jump to a loop
// point, and any jump the decoders make of their own. It is found, whatever made it, by comparing each
// position read (a client's, and one every kPositionWatchMs while playing) with the position expected
// from the last one announced and the time since, by the clock given to setClock(); a difference of
// more than kPositionTolerance is a jump. Play, Stop and a new file start the expectation afresh.
//
// Volume is the sound service's volume ("status midi volume", "setaudio midi volume to"), from 0 to 1:
// a set beyond either end is that end, one of another type is refused with InvalidArgs by the bus
// binding, and one made with no file open waits for the next file. The volume set is kept in the
// settings (Quillbeat/Settings/Volume, saved kVolumeSaveDelayMs after the last set, and at the latest
// when this is destroyed) and is where a new start begins; a save that fails is noted on standard error.
// Property changes are announced with org.freedesktop.DBus.Properties.PropertiesChanged. UI thread
// only; `form`, `mci` and `settings` must outlive this.
class Mpris : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kServiceName = "org.mpris.MediaPlayer2.quillbeat";
    static constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
    static constexpr int kPositionWatchMs = 250;
    // Above what the outputs' own steps make of the position: a sound server's buffer filled at Play
    // (a fifth of a second, half a second after a shortage).
    static constexpr qint64 kPositionTolerance = 600'000; // microseconds
    static constexpr int kVolumeSaveDelayMs = 1000;

    Mpris(ui::Form1& form, mci::MciApi& mci, platform::SettingsStore& settings, QObject* parent = nullptr);
    // The volume an earlier start kept, where this one begins (1 when none was kept).
    static double keptVolume(const platform::SettingsStore& settings);
    // Keeps `volume` for the next start; false when the settings could not be written.
    static bool keepVolume(platform::SettingsStore& settings, double volume);
    // What gives the sound service `volume` (0 to 1).
    static std::string volumeCommand(double volume);
    ~Mpris() override;

    // Registers the object and the bus name on `bus`. False, with a note on standard error, when the
    // bus is not connected or the name is taken; the program then runs without media controls.
    bool registerOn(QDBusConnection bus);

    // The time the position is expected to run by, in microseconds from any origin: the steady clock
    // unless a test gives the clock of the sound it plays.
    void setClock(std::function<qint64()> microseconds);

    // The player interface's state, as the bus sees it.
    QString playbackStatus() const;
    QVariantMap metadata() const;
    // Where the file plays, in microseconds; 0 with no file open. A read that finds the position
    // moved other than by the time played announces Seeked.
    qlonglong position();
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
    // The sound service's position in microseconds; 0 with no file open.
    qlonglong servicePosition() const;
    // Compares `position` with the one expected now, and announces Seeked when it moved otherwise.
    void checkPosition(qlonglong position);
    // Expects the position from now on to run on from where it is (while playing), and watches it.
    void expectFromHere();
    // Gives the sound service the volume last set, unless it has it already.
    void applyVolume();
    void saveVolume();

    struct Expected
    {
        qlonglong position = 0; // microseconds
        qint64 at = 0;          // on m_clock
    };

    ui::Form1& m_form;
    mci::MciApi& m_mci;
    platform::SettingsStore& m_settings;
    QString m_connectionName;
    QVariantMap m_last; // the properties last announced
    bool m_registered = false;
    double m_volume = 1.0; // the volume last set over the bus, or kept from an earlier start
    QTimer* m_volumeSave = nullptr;
    QTimer* m_positionWatch = nullptr;
    std::function<qint64()> m_clock;
    std::optional<Expected> m_expected; // while playing
};

} // namespace qb::session
