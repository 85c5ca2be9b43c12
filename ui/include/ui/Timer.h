#pragma once

#include <QTimer>
#include <algorithm>

namespace qb::ui {

// A window timer with an on/off switch: enabling a running timer leaves its countdown alone, as a user
// of the window's timers expects (only a disabled timer starts afresh).
//
// Like the window timers of other desktops, it ticks no faster than kShortestPeriodMs, whatever
// interval is asked for: a 1 ms request means "as often as the timer service delivers". Each tick
// wakes the process, a cost the idle CPU figure guards (bench/README.md). The loop monitor needs no
// more: a device reports the end of a pass as soon as its last frames are decoded, up to half a second
// before they are heard, and the restart joins the next pass onto them, so a restart 100 ms later
// still leaves no gap.
class Timer : public QTimer
{
public:
    static constexpr int kShortestPeriodMs = 100;

    Timer(int intervalMs, bool enabled, QObject* parent) : QTimer(parent), m_requestedMs(intervalMs)
    {
        setInterval(std::max(intervalMs, kShortestPeriodMs));
        setTimerType(Qt::PreciseTimer);
        setEnabled(enabled);
    }

    // The interval asked for, in milliseconds; interval() is the one in force.
    int requestedInterval() const { return m_requestedMs; }

    bool isEnabled() const { return isActive(); }
    void setEnabled(bool enabled)
    {
        if (enabled && !isActive())
            start();
        else if (!enabled)
            stop();
    }

private:
    int m_requestedMs;
};

} // namespace qb::ui
