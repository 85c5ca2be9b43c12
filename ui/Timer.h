#pragma once

#include <QTimer>

namespace qb::ui {

// A window timer with an on/off switch: enabling a running timer leaves its countdown alone, as a user
// of the window's timers expects (only a disabled timer starts afresh).
class Timer : public QTimer
{
public:
    Timer(int intervalMs, bool enabled, QObject* parent)
        : QTimer(parent)
    {
        setInterval(intervalMs);
        setTimerType(Qt::PreciseTimer);
        setEnabled(enabled);
    }

    bool isEnabled() const { return isActive(); }
    void setEnabled(bool enabled)
    {
        if (enabled && !isActive())
            start();
        else if (!enabled)
            stop();
    }
};

} // namespace qb::ui
