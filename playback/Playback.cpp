#include "playback/Playback.h"

#include "media/MidiHeader.h"
#include "media/OpenDialog.h"
#include "playback/PlayerView.h"
#include "sound/MciApi.h"
#include "sound/MciErrors.h"
#include "sound/MediaFormats.h"
#include "system/CodePage.h"
#include "system/WorkBeside.h"

#include <QDir>
#include <QStringList>
#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace qb::playback {

namespace {

const char* const kStop = "stop midi";
const char* const kStatusMode = "status midi mode";
const char* const kSeekStart = "seek midi to start";
const char* const kInfoTitle = "info midi title";

constexpr unsigned kModeReplyLength = 80;
constexpr unsigned kTitleReplyLength = 512;
// How long the MIDI header scan may take, counted from the start of the open it runs beside: as long
// as an open may take. A scan that takes longer (a file system that hardly answers) finds nothing.
constexpr std::chrono::seconds kHeaderScanLimit{5};

} // namespace

Playback::Playback(PlaybackState& state, PlayerView& view, mci::MciApi& mci,
                   platform::FileDialogHost& dialogs, HeaderReader readHeader)
    : m_state(state), m_view(view), m_mci(mci), m_dialogs(dialogs), m_readHeader(std::move(readHeader))
{
}

void Playback::Command1_Click()
{
    if (m_mci.mciSendStringA(playCommand(), nullptr, 0, nullptr) != 0) {
        m_view.showMessage(QStringLiteral("[Select]をおして、再生するファイルを選択してください。"));
        return;
    }
    m_view.setLabel1Caption(QStringLiteral("Play     ") + shownPath());
    m_state.IsPlaying = true;
    m_view.setTimer3Enabled(true);
    m_view.playbackChanged();
}

void Playback::Command2_Click()
{
    m_mci.mciExecute(kStop);
    showStopped();
}

void Playback::showStopped()
{
    m_view.setLabel1Caption(QStringLiteral("Stop     ") + shownPath());
    m_state.IsPlaying = false;
    m_view.setTimer3Enabled(false);
    m_view.showStillPicture();
    m_view.playbackChanged();
}

void Playback::Timer1_Timer()
{
    std::array<char, kModeReplyLength> reply;
    reply.fill(' ');
    if (!m_state.IsPlaying)
        return;
    if (m_mci.mciSendStringA(kStatusMode, reply.data(), kModeReplyLength, nullptr) != 0)
        return;
    // Only the first seven characters count, case-sensitively: "Playing" is not playing.
    if (std::memcmp(reply.data(), "playing", 7) == 0)
        return;
    // An error box from the restart runs its own event loop, in which this timer keeps ticking: those
    // ticks wait for the box instead of stacking more of them.
    if (m_restarting)
        return;
    m_restarting = true;
    const unsigned file = m_openedFiles;
    m_mci.mciExecute(kSeekStart);
    const bool restarted = m_mci.mciExecute(playCommand());
    m_restarting = false;
    // Refused: the file can no longer be played (the service's box has said why). The loop ends as
    // Stop ends it, unless another file was selected while the box was up.
    if (!restarted && m_state.IsPlaying && file == m_openedFiles)
        showStopped();
}

void Playback::Form_Unload()
{
    if (!m_state.IsOpen)
        return;
    m_mci.mciExecute(closeCommand());
    m_view.setLabel2Caption(QString());
}

void Playback::ReleaseOpenFile()
{
    m_view.setTimer3Enabled(false);
    m_view.showEmptyPicture();
    m_mci.mciExecute(closeCommand());
    m_state.IsPlaying = false;
    m_state.IsOpen = false;
}

bool Playback::OpenMediaFile()
{
    const std::string command = openCommand(m_state.FilePath);
    const mci::MCIERROR error = m_mci.mciSendStringA(command.c_str(), nullptr, 0, nullptr);
    m_openRefusalTold = error == mci::MCIERR_CANNOT_LOAD_DRIVER;
    return error == 0;
}

media::MidiHeaderInfo Playback::readableHeader(const QString& path)
{
    return media::ReadMidiHeader(path, media::TitleText::Readable);
}

QString Playback::selectFilter()
{
    QString allPatterns;
    for (const formats::MediaFormat& format : formats::mediaFormats()) {
        if (!allPatterns.isEmpty())
            allPatterns += QLatin1Char(';');
        allPatterns += QStringLiteral("*.") + QLatin1String(format.ending);
    }
    const QStringList texts = {
        QStringLiteral("音声＆MIDIデータ(") + allPatterns + QLatin1Char(')'),
        allPatterns,
        QStringLiteral("MIDIシーケンス(*.mid;*.rmi)"),
        QStringLiteral("*.mid;*.rmi"),
        QStringLiteral("WAVEオーディオ(*.wav)"),
        QStringLiteral("*.wav"),
        QStringLiteral("MPEG1 Layer 3(*.mp3)"),
        QStringLiteral("*.mp3"),
        QStringLiteral("すべてのファイル(*.*)"),
        QStringLiteral("*.*"),
    };
    QString filter;
    for (const QString& text : texts)
        filter += text + QChar(u'\0');
    return filter;
}

void Playback::Command3_Click()
{
    m_state.SavedLabel1Caption = m_view.label1Caption();
    m_state.SavedLabel2Caption = m_view.label2Caption();
    m_view.setLabel1Caption(QStringLiteral("ファイルを選択してください"));
    m_view.setLabel2Caption(QString());

    const QString filter = selectFilter();
    const QString initialDir = QDir::currentPath();
    m_dialogShowing = true;
    const QString chosen =
        media::ShowOpenDialog(m_view.dialogOwner(), filter, initialDir, m_state.DialogCancelled, m_dialogs);
    m_dialogShowing = false;
    // A cancel puts the window back as it was and keeps the path of the file that goes on playing,
    // so a later Stop still names it.
    if (m_state.DialogCancelled) {
        m_view.setLabel1Caption(m_state.SavedLabel1Caption);
        m_view.setLabel2Caption(m_state.SavedLabel2Caption);
        return;
    }
    openChosenFile(chosen);
}

bool Playback::SelectFile(const QString& path)
{
    if (selectUnderWay())
        return false;
    m_view.setLabel1Caption(QStringLiteral("ファイルを選択してください"));
    m_view.setLabel2Caption(QString());
    return openChosenFile(path);
}

QString Playback::shownPath() const
{
    return platform::readablePath(m_state.FilePath);
}

bool Playback::openChosenFile(const QString& path)
{
    m_state.FilePath = path;
    m_state.Title.clear();

    if (m_state.IsOpen)
        ReleaseOpenFile();
    // The header of a MIDI file is read beside the window, while the file opens: no file is read on the
    // window's thread, which goes on painting and takes its close box meanwhile.
    const std::optional<formats::MediaFormat> format =
        formats::formatOfPath(platform::toAnsi(m_state.FilePath));
    const bool midi = !format || format->kind == formats::MediaKind::Sequencer;
    const auto deadline = std::chrono::steady_clock::now() + kHeaderScanLimit;
    auto header = std::make_shared<media::MidiHeaderInfo>();
    std::unique_ptr<platform::WorkBeside> scan;
    if (midi)
        scan = std::make_unique<platform::WorkBeside>(
            [header, path, read = m_readHeader] { *header = read(path); });
    m_opening = true;
    m_openFailureTold = false;
    ++m_openedFiles;
    bool opened = OpenMediaFile();
    if (opened && scan) {
        const platform::WorkBeside::Outcome scanned = scan->wait(deadline);
        if (scanned == platform::WorkBeside::Outcome::Leaving) {
            // The window is closing: the file it opened goes with it.
            m_mci.mciSendStringA(closeCommand(), nullptr, 0, nullptr);
            opened = false;
        }
    }
    m_opening = false;
    if (!opened) {
        m_view.playbackChanged();
        return false;
    }

    if (!midi) {
        m_view.setLabel2Caption(QLatin1String(format->label) +
                                QStringLiteral("ファイルのヘッダ解析はできてません(^^;"));
        m_view.setWindowCaption(shownPath());
        // What a module or a tune calls itself names it to the desktop (the window shows its path).
        std::array<char, kTitleReplyLength> title{};
        if (m_mci.mciSendStringA(kInfoTitle, title.data(), kTitleReplyLength, nullptr) == 0)
            m_state.Title = QString::fromUtf8(title.data()).trimmed();
    } else {
        // The scan is done (or given up, leaving the empty record): the record is the window's now.
        const media::MidiHeaderInfo info = scan->done() ? *header : media::MidiHeaderInfo{};
        const QString crlf = QStringLiteral("\r\n");
        m_view.setLabel2Caption(QStringLiteral("タイトル = ") + info.Title + crlf +
                                QStringLiteral("フォーマット = ") + QString::number(info.Format) + crlf +
                                QStringLiteral("トラックブロック数 = ") + QString::number(info.TrackCount) +
                                crlf + QStringLiteral("分解能 = ") + QString::number(info.Division));
        m_view.setWindowCaption(info.Title);
        m_state.Title = info.Title;
    }
    m_view.setLabel1Caption(shownPath());
    m_state.IsOpen = true;
    m_view.playbackChanged();
    return true;
}

} // namespace qb::playback
