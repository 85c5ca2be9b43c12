#include "ui/TipDialog.h"

#include "system/MessageBox.h"
#include "system/SettingsStore.h"
#include "ui/Label.h"
#include "ui/PictureBox.h"

#include <QCheckBox>
#include <QPushButton>

namespace qb::ui {

TipDialog::TipDialog(platform::SettingsStore& settings, platform::MessageBoxPresenter& messages,
                     QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_settings(settings), m_messages(messages)
{
    setObjectName(QStringLiteral("frmTip"));
    setWindowTitle(QStringLiteral("Quillbeat Tips"));
    setFixedSize(kClientWidth, kClientHeight);
    setModal(true);

    Check1 = new QCheckBox(QStringLiteral("次回起動時には表示しない(&S)"), this);
    Check1->setObjectName(QStringLiteral("Check1"));
    Check1->setGeometry(2, 96, 217, 21);
    // Said without the access-key mark "(S)", which a screen reader would read out as letters.
    Check1->setAccessibleName(QStringLiteral("次回起動時には表示しない"));

    Picture1 = new PictureBox(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(8, 8, 249, 85);
    Picture1->setBackColor(Qt::white);
    Picture1->setPicture(loadPicture(QStringLiteral(":/images/tip.ico")));

    Label1 = new Label(QStringLiteral("注意..."), Picture1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(36, 12, 177, 17);
    lblTipText = new Label(
        QStringLiteral(
            "「Play」ボタンや「Stop」ボタンを押す前に、「Select」ボタンでMIDIファイルを選択してください。"),
        Picture1);
    lblTipText->setObjectName(QStringLiteral("lblTipText"));
    lblTipText->setGeometry(18, 40, 207, 41);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(88, 120, 81, 25);
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &TipDialog::cmdOK_Click);

    // Named, so that a screen reader coming to it by Tab reads the tip, not an unnamed "filler".
    Picture1->setFocusPolicy(Qt::TabFocus);
    Picture1->setAccessibleName(QStringLiteral("ヒント"));
    setTabOrder(cmdOK, Picture1);
    setTabOrder(Picture1, Check1);
    cmdOK->setFocus();
}

void TipDialog::cmdOK_Click()
{
    accept();
}

// Every way of closing a dialog (accept, Esc, the close box) ends here: the dialog's unload.
void TipDialog::done(int result)
{
    Form_Unload();
    QDialog::done(result);
}

void TipDialog::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    if (Check1->checkState() != Qt::Checked)
        return;
    if (!m_settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"),
                                QStringLiteral("Start"), QStringLiteral("none")))
        m_messages.show(
            QStringLiteral("設定を保存できませんでした。次回の起動時にもこの画面が表示されます。"),
            QStringLiteral("Quillbeat"));
}

} // namespace qb::ui
