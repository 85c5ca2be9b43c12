#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace qb::platform {
class MessageBoxPresenter;
class SettingsStore;
} // namespace qb::platform

namespace qb::ui {

class Label;
class PictureBox;

// The start-up tip: one fixed hint and a box to turn the tip off for good. However the dialog is
// closed (OK, Enter, Esc, the close box), a ticked box stores "none" under Quillbeat/Settings/Start;
// an unticked one stores nothing.
class TipDialog : public QDialog
{
    Q_OBJECT
public:
    TipDialog(platform::SettingsStore& settings, platform::MessageBoxPresenter& messages,
              QWidget* parent = nullptr);

    static constexpr int kClientWidth = 265;
    static constexpr int kClientHeight = 147;

    void cmdOK_Click();
    void done(int result) override;

    QCheckBox* Check1 = nullptr;
    PictureBox* Picture1 = nullptr;
    Label* Label1 = nullptr;
    Label* lblTipText = nullptr;
    QPushButton* cmdOK = nullptr;

private:
    void Form_Unload();

    platform::SettingsStore& m_settings;
    platform::MessageBoxPresenter& m_messages;
    bool m_unloaded = false;
};

} // namespace qb::ui
