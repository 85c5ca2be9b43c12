#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace qb::ui {
class Form1;
}

namespace qb::session {

// Keeps the computer from suspending for idleness while the window plays: background music that runs
// for hours is no reason for the desktop to think nobody is there. It holds logind's "idle:sleep"
// inhibitor lock (org.freedesktop.login1.Manager.Inhibit on the system bus, mode "block") while the
// user wants playback, and lets it go (closes the descriptor logind gave) on Stop, when playback
// fails, and when the window closes. The screen saver is none of its business. Without logind the
// player plays as before, with one note on standard error. UI thread only; `form` must outlive this.
class SleepInhibitor : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* kService = "org.freedesktop.login1";
    static constexpr const char* kPath = "/org/freedesktop/login1";
    static constexpr const char* kInterface = "org.freedesktop.login1.Manager";

    // `bus` gives the connection where logind answers (the system bus in the program); it is asked at
    // the first Play, so a window that plays nothing opens no connection for it.
    SleepInhibitor(ui::Form1& form, std::function<QDBusConnection()> bus, QObject* parent = nullptr);
    ~SleepInhibitor() override;

    // True while the lock is held.
    bool holding() const { return m_lock.isValid(); }

private:
    void follow();
    void take();
    void release();

    ui::Form1& m_form;
    std::function<QDBusConnection()> m_connect;
    std::optional<QDBusConnection> m_bus;
    QDBusUnixFileDescriptor m_lock;
    bool m_asking = false;   // an Inhibit call is on its way
    bool m_wanted = false;   // the window plays
    bool m_unloaded = false; // the window has closed
    bool m_warned = false;
};

} // namespace qb::session
