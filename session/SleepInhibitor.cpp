#include "session/SleepInhibitor.h"

#include "ui/Form1.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <cstdio>

namespace qb::session {

SleepInhibitor::SleepInhibitor(ui::Form1& form, std::function<QDBusConnection()> bus, QObject* parent)
    : QObject(parent), m_form(form), m_connect(std::move(bus))
{
    connect(&form, &ui::Form1::playbackStateChanged, this, &SleepInhibitor::follow);
    connect(&form, &ui::Form1::unloaded, this, [this] {
        m_unloaded = true;
        follow();
    });
    follow();
}

SleepInhibitor::~SleepInhibitor() = default; // the descriptor closes with m_lock

void SleepInhibitor::follow()
{
    m_wanted = m_form.state().IsPlaying && m_form.state().IsOpen && !m_unloaded;
    if (m_wanted)
        take();
    else
        release();
}

void SleepInhibitor::take()
{
    if (holding() || m_asking)
        return;
    if (!m_bus)
        m_bus = m_connect();
    if (!m_bus->isConnected()) {
        if (!m_warned)
            std::fprintf(stderr, "quillbeat: no D-Bus system bus; the computer may suspend while playing\n");
        m_warned = true;
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kInterface), QStringLiteral("Inhibit"));
    call << QStringLiteral("idle:sleep") << QStringLiteral("Quillbeat") << QStringLiteral("Playing music")
         << QStringLiteral("block");
    m_asking = true;
    auto* watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        m_asking = false;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *done;
        if (reply.isError()) {
            if (!m_warned)
                std::fprintf(stderr, "quillbeat: cannot keep the computer awake while playing: %s\n",
                             qPrintable(reply.error().message()));
            m_warned = true;
            return;
        }
        // Stop, a failure or the close may have come meanwhile: then the lock goes at once.
        if (m_wanted)
            m_lock = reply.value();
    });
}

void SleepInhibitor::release()
{
    m_lock = QDBusUnixFileDescriptor();
}

} // namespace qb::session
