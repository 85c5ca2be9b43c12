#pragma once

#include "playback/Playback.h"
#include "playback/PlaybackState.h"
#include "playback/PlayerView.h"
#include "ui/ImageButton.h"
#include "ui/Picture.h"

#include <QPointer>
#include <QWidget>
#include <array>

class QPushButton;

namespace qb::mci {
class MciApi;
}
namespace qb::platform {
class FileDialogHost;
class MessageBoxPresenter;
class SettingsStore;
} // namespace qb::platform

namespace qb::ui {

class Label;
class PictureBox;
class Timer;
class TipDialog;

// The player's main window: three image buttons (Play, Stop, Select) over a green display panel with
// the status line, the information box and the animation box. Controls keep their historic names as
// object names. Holders of the animation pictures and the access-key buttons lie below the client
// area, where they never show.
class Form1 : public QWidget, public playback::PlayerView
{
    Q_OBJECT
public:
    struct Services
    {
        mci::MciApi& mci;
        platform::MessageBoxPresenter& messages;
        platform::SettingsStore& settings;
        platform::FileDialogHost& dialogs; // shows the Select dialog
    };

    explicit Form1(Services services, QWidget* parent = nullptr);
    ~Form1() override;

    static constexpr int kClientWidth = 230;
    static constexpr int kClientHeight = 141;

    playback::PlaybackState& state() { return m_state; }
    const playback::PlaybackState& state() const { return m_state; }
    playback::Playback& playback() { return m_playback; }

    // Reads the start-up setting and, unless it is turned off, shows the tips dialog modally, its outer
    // corner on this window's, once the window system has put the window where it chose. Call before the
    // first show; returns at once (the tips close on their own time). A start with a file leaves it out.
    void Form_Load();
    // True from a Form_Load that shows the tips until they close: the window does not take requests
    // from outside yet.
    bool startingUp() const { return m_tipsPending || !m_tips.isNull(); }
    // The tips dialog while it is up; null otherwise.
    TipDialog* tips() const;

    // The commands, also called by the labels and the access keys.
    void Command1_Click() { m_playback.Command1_Click(); }
    void Command2_Click() { m_playback.Command2_Click(); }
    void Command3_Click() { m_playback.Command3_Click(); }

    // Forwarders: a label or an access-key button performs its command.
    void Label3_Click() { Command1_Click(); }
    void Label4_Click() { Command2_Click(); }
    void Label5_Click() { Command3_Click(); }
    void Command4_Click() { Command1_Click(); }
    void Command5_Click() { Command3_Click(); }
    void Command6_Click() { Command2_Click(); }

    // Hover highlighting: the label under the pointer dark red, bold and underlined, the others plain.
    void Form_MouseMove();
    void Picture1_MouseMove();
    void Label1_MouseMove();
    void Label2_MouseMove();
    void Label3_MouseMove();
    void Label4_MouseMove();
    void Label5_MouseMove();

    // One step of the playback animation.
    void Timer3_Timer();
    void Timer1_Timer() { m_playback.Timer1_Timer(); }
    void Form_Unload();

    // PlayerView
    QString label1Caption() const override;
    void setLabel1Caption(const QString& text) override;
    QString label2Caption() const override;
    void setLabel2Caption(const QString& text) override;
    void setWindowCaption(const QString& text) override;
    void setTimer3Enabled(bool enabled) override;
    void showStillPicture() override;
    void showEmptyPicture() override;
    void showMessage(const QString& text) override;
    QWidget* dialogOwner() override { return this; }
    void playbackChanged() override { emit playbackStateChanged(); }

    // A file named from outside the window (a drop, the command line, a second start): selected as
    // Select selects it. False when it did not open, or when Select's dialog is up.
    bool selectFile(const QString& path) { return m_playback.SelectFile(path); }
    // True once the window has unloaded (it is closing, and the program with it).
    bool hasUnloaded() const { return m_unloaded; }

    // Whether `control` is one of the holders that lie below the client area (the animation pictures,
    // the still picture, the access-key buttons): never seen, so neither Tab nor assistive tools reach it.
    bool offWindow(const QWidget* control) const;

    // Controls, for the window's own handlers and for tests.
    Label* Label1 = nullptr;
    Label* Label2 = nullptr;
    Label* Label3 = nullptr;
    Label* Label4 = nullptr;
    Label* Label5 = nullptr;
    ImageButton* Command1 = nullptr;
    ImageButton* Command2 = nullptr;
    ImageButton* Command3 = nullptr;
    QPushButton* Command4 = nullptr;
    QPushButton* Command5 = nullptr;
    QPushButton* Command6 = nullptr;
    PictureBox* Picture1 = nullptr;
    std::array<PictureBox*, 5> Picture2{};
    PictureBox* Picture3 = nullptr;
    PictureBox* Picture4 = nullptr;
    Timer* Timer1 = nullptr;
    Timer* Timer3 = nullptr;

signals:
    // After Play, Stop and every selection.
    void playbackStateChanged();
    // A file was dropped on the window (of several, the first): its absolute path as the file system
    // spells it. The program takes it as it takes a file handed over by a later start.
    void fileDropped(const QByteArray& path);
    // The window has closed (Form_Unload has run): nothing plays from now on.
    void unloaded();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showTips();
    void createControls();
    void connectHandlers();
    void applyLabelStyles(bool playHighlighted, bool stopHighlighted, bool selectHighlighted);

    Services m_services;
    playback::PlaybackState m_state;
    playback::Playback m_playback;
    bool m_unloaded = false;
    bool m_tipsPending = false; // Form_Load wants the tips, once the window is on the screen
    QPointer<TipDialog> m_tips;
};

} // namespace qb::ui
