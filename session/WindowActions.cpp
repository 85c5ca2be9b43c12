#include "session/WindowActions.h"

#include "system/CodePage.h"
#include "ui/Form1.h"
#include "ui/Launch.h"

#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>
#include <deque>

namespace qb::session {

namespace {

constexpr int kRetryMs = 100;

bool windowFree(ui::Form1& form)
{
    return QApplication::activeModalWidget() == nullptr && !form.startingUp() &&
           !form.playback().selectUnderWay();
}

// One queue for the process: actions that waited for a dialog run in the order they came.
struct PendingActions
{
    QPointer<ui::Form1> form;
    std::deque<std::function<void()>> actions;
    bool scheduled = false;
};

PendingActions& pending()
{
    static PendingActions queue;
    return queue;
}

void runPending()
{
    PendingActions& queue = pending();
    queue.scheduled = false;
    while (!queue.actions.empty()) {
        if (queue.form.isNull()) {
            queue.actions.clear();
            return;
        }
        if (!windowFree(*queue.form)) {
            // Polling a tenth of a second only while a modal window is up is cheaper than watching
            // every window's show and hide events.
            queue.scheduled = true;
            QTimer::singleShot(kRetryMs, queue.form.data(), runPending);
            return;
        }
        std::function<void()> action = std::move(queue.actions.front());
        queue.actions.pop_front();
        action();
    }
}

} // namespace

void whenWindowFree(ui::Form1& form, std::function<void()> action)
{
    PendingActions& queue = pending();
    queue.form = &form;
    queue.actions.push_back(std::move(action));
    if (!queue.scheduled) {
        queue.scheduled = true;
        QTimer::singleShot(0, &form, runPending);
    }
}

bool openRequestedFile(ui::Form1& form, const QString& path, bool play)
{
    if (!form.selectFile(path)) {
        // Closed while the file was opening: the open was given up, and no one is left to tell. And one
        // failure, one box: an unusable SoundFont or sound module, or a file too large, has said so in
        // its own.
        if (form.hasUnloaded() || form.playback().openRefusalTold() || form.playback().openFailureTold())
            return false;
        form.showMessage(QStringLiteral("ファイル「%1」を開けませんでした。\n"
                                        "再生できるファイル（MIDI、WAV、MP3、FLAC、Ogg、Opus）か、"
                                        "ファイルがあるかを確かめてください。")
                             .arg(path));
        return false;
    }
    if (play)
        form.Command1_Click();
    return true;
}

void takeRequest(ui::Form1& form, const WindowRequest& request)
{
    // The window that comes to the front answers for the desktop's launch of the later start.
    const ui::Launch launch{request.startupId, request.activationToken};
    if (QWidget* modal = QApplication::activeModalWidget()) {
        ui::answerLaunch(*modal, launch);
        modal->raise();
        modal->activateWindow();
    } else {
        ui::answerLaunch(form, launch);
        raiseWindow(form);
    }
    if (request.file.isEmpty())
        return;
    const QString path = platform::fromAnsi(request.file.toStdString());
    const bool play = request.play;
    QPointer<ui::Form1> window(&form);
    whenWindowFree(form, [window, path, play] {
        if (!window)
            return;
        // A file handed over while one plays goes on playing, as the user expects of background music.
        const bool wasPlaying = window->state().IsPlaying;
        openRequestedFile(*window, path, play || wasPlaying);
    });
}

void raiseWindow(ui::Form1& form)
{
    if (form.isMinimized())
        form.showNormal();
    else
        form.show();
    form.raise();
    form.activateWindow();
}

QString soundFontMessage(const QString& soundFont, mci::SoundFontProblem problem, bool isDefault,
                         const QString& settingsFile)
{
    QString what;
    switch (problem) {
    case mci::SoundFontProblem::Missing:
        what = QStringLiteral("SoundFont「%1」が見つからないため、MIDIファイルを再生できません。");
        break;
    case mci::SoundFontProblem::Unreadable:
        what = QStringLiteral(
            "SoundFont「%1」を読み取れない（読み取りの権限がない、またはファイルではない）ため、"
            "MIDIファイルを再生できません。");
        break;
    case mci::SoundFontProblem::NotSoundFont:
        what = QStringLiteral("「%1」はSoundFontではないため、MIDIファイルを再生できません。");
        break;
    case mci::SoundFontProblem::Rejected:
        what = QStringLiteral("SoundFont「%1」は壊れているか、FluidSynthが読み込めない形式のため、"
                              "MIDIファイルを再生できません。");
        break;
    }
    QString text = what.arg(soundFont) + QStringLiteral("\n\n");
    // Only the default one is a package's to give back.
    if (isDefault && problem == mci::SoundFontProblem::Missing)
        text += QStringLiteral("Debian・Ubuntuでは次のどちらかで標準のSoundFontを入れてください:\n"
                               "  sudo apt install fluid-soundfont-gm\n"
                               "  sudo apt install timgm6mb-soundfont\n\n");
    text += QStringLiteral(
                "別のSoundFont（.sf2・.sf3）を使うには、設定ファイル\n%1\nの[Settings]に\n"
                "SoundFont=/SoundFontの/パス.sf2\nと書いてください。WAV・MP3などはこのまま再生できます。")
                .arg(settingsFile);
    return text;
}

QString tooLargeMessage(const QString& file, mci::FileLimitKind kind, std::uint64_t amount,
                        std::uint64_t limit)
{
    // Whole megabytes (MiB), the limit rounded down and the file's amount up, so the two never read
    // the same.
    const QString limitMb = QString::number(limit >> 20);
    const QString amountMb = QString::number((amount + (std::uint64_t{1} << 20) - 1) >> 20);
    switch (kind) {
    case mci::FileLimitKind::FileSize:
        return QStringLiteral("ファイル「%1」は大きすぎるため開けません。\n"
                              "このプレーヤーで開けるMIDIファイルは %2 MB までです（このファイルは %3 MB）。")
            .arg(file, limitMb, amountMb);
    case mci::FileLimitKind::EventMemory:
        break;
    }
    return QStringLiteral("ファイル「%1」はイベントが多すぎるため開けません。\n"
                          "このファイルのイベントには %3 MB のメモリが要りますが、1曲に使えるのは"
                          "このコンピューターのメモリの4分の1、%2 MB までです。")
        .arg(file, limitMb, amountMb);
}

QString currentTitle(const ui::Form1& form)
{
    const playback::PlaybackState& state = form.state();
    if (!state.IsOpen)
        return {};
    if (!state.Title.isEmpty())
        return state.Title;
    // As the window shows the name: one that is not UTF-8 as it was meant, not as escaped bytes.
    return QFileInfo(platform::readablePath(state.FilePath)).fileName();
}

} // namespace qb::session
