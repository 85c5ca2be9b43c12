// A bare window with one 1 ms precise timer that does nothing: what such a timer costs by itself.
// Prints the ticks per second it got when it ends (SIGTERM or after the seconds given).
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(230, 141);
    window.show();
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(1);
    long long ticks = 0;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start();
    QElapsedTimer clock;
    clock.start();
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 3600;
    QTimer::singleShot(seconds * 1000, &app, &QApplication::quit);
    std::printf("ready\n");
    std::fflush(stdout);
    app.exec();
    std::printf("bare.ticks_per_s=%.0f\n",
                static_cast<double>(ticks) * 1000.0 / static_cast<double>(clock.elapsed()));
    return 0;
}
