// The start-up tips dialog and its setting: when it shows and where, what each way of closing it
// stores, and what waits for it at the start.
#include "ui/TipDialog.h"

#include "session/SingleWindow.h"
#include "support/ShownMainWindow.h"
#include "system/SettingsStore.h"
#include "testkit/AudioFiles.h"
#include "ui/Form1.h"
#include "ui/Label.h"
#include "ui/PictureBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using qb::ui::Form1;
using qb::ui::TipDialog;

namespace {

const QString kApp = QStringLiteral("Quillbeat");
const QString kSection = QStringLiteral("Settings");
const QString kKey = QStringLiteral("Start");

// The tips dialog of a started window, once it is up; null when the start shows none.
TipDialog* shownTips(Form1& form)
{
    if (!form.startingUp())
        return nullptr;
    if (!QTest::qWaitFor([&form] { return form.tips() != nullptr && form.tips()->isVisible(); }))
        return nullptr;
    return form.tips();
}

} // namespace

class TipDialogTest : public QObject
{
    Q_OBJECT

    qb::test::RecordedParts parts;
    qb::test::RecordingMessageBox& messages = parts.messages;

private slots:
    void dialogStandsAsDesigned()
    {
        qb::test::MemorySettingsStore settings;
        TipDialog dialog(settings, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Quillbeat Tips"));
        QCOMPARE(dialog.size(), QSize(265, 147));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        QVERIFY(!(dialog.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(dialog.Check1->text(), QStringLiteral("次回起動時には表示しない(&S)"));
        QVERIFY(!dialog.Check1->isChecked());
        QCOMPARE(dialog.Check1->geometry(), QRect(2, 96, 217, 21));
        QCOMPARE(dialog.Picture1->geometry(), QRect(8, 8, 249, 85));
        QCOMPARE(dialog.Picture1->backColor(), QColor(Qt::white));
        QVERIFY(dialog.Picture1->picture());
        QCOMPARE(dialog.Picture1->picture()->size(), QSize(32, 32));
        QCOMPARE(dialog.Label1->caption(), QStringLiteral("注意..."));
        QCOMPARE(dialog.Label1->parentWidget(), dialog.Picture1);
        QCOMPARE(dialog.lblTipText->caption(),
                 QStringLiteral("「Play」ボタンや「Stop」ボタンを押す前に、「Select」ボタンでMIDIファイルを選"
                                "択してください。"));
        QCOMPARE(dialog.lblTipText->geometry(), QRect(18, 40, 207, 41));
        QCOMPARE(dialog.cmdOK->text(), QStringLiteral("OK"));
        QCOMPARE(dialog.cmdOK->geometry(), QRect(88, 120, 81, 25));
        QVERIFY(dialog.cmdOK->isDefault());
        QCOMPARE(QApplication::focusWidget(), dialog.cmdOK);
    }

    void shownOnlyWhenTheSettingIsEmpty_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("shown");
        QTest::newRow("absent") << QString() << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("none") << "none" << false;
        QTest::newRow("edited by hand") << "off please" << false;
    }

    void shownOnlyWhenTheSettingIsEmpty()
    {
        QFETCH(QString, stored);
        QFETCH(bool, shown);
        qb::test::MemorySettingsStore settings;
        if (!stored.isNull())
            settings.SaveSetting(kApp, kSection, kKey, stored);
        qb::app::Parts lent = parts.parts();
        lent.settings = &settings;
        qb::app::Program program(lent);
        Form1& form = program.window();
        program.start();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // The window manager chooses where the main window goes, with tips or without; the tips then
        // stand centred over it, in front of it.
        QVERIFY(!form.testAttribute(Qt::WA_Moved));
        TipDialog* tips = shownTips(form);
        QCOMPARE(tips != nullptr, shown);
        if (tips) {
            QCOMPARE(tips->parentWidget(), &form);
            QVERIFY(tips->isModal());
            QCOMPARE(QApplication::activeModalWidget(), tips);
            // Centred over it, as far as the screen's edges let it be.
            QVERIFY(tips->frameGeometry().contains(form.frameGeometry().center()));
            QVERIFY(tips->screen()->availableGeometry().contains(tips->frameGeometry()));
            tips->cmdOK->click();
            QTRY_VERIFY(!form.startingUp());
        }
        QCOMPARE(settings.GetSetting(kApp, kSection, kKey), stored.isNull() ? QString() : stored);
    }

    void closingStoresNoneOnlyWhenTicked_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("ticked");
        for (const char* how : {"OK", "Enter", "Esc", "close box"}) {
            QTest::newRow(qPrintable(QStringLiteral("%1, ticked").arg(QLatin1String(how)))) << how << true;
            QTest::newRow(qPrintable(QStringLiteral("%1, unticked").arg(QLatin1String(how)))) << how << false;
        }
    }

    void closingStoresNoneOnlyWhenTicked()
    {
        QFETCH(QString, how);
        QFETCH(bool, ticked);
        qb::test::MemorySettingsStore& settings = parts.settings;
        settings = {};
        qb::app::Program program(parts.parts());
        Form1& form = program.window();
        program.start();
        TipDialog* d = shownTips(form);
        QVERIFY(d);
        d->Check1->setChecked(ticked);
        if (how == QLatin1String("OK"))
            QTest::mouseClick(d->cmdOK, Qt::LeftButton);
        else if (how == QLatin1String("Enter"))
            QTest::keyClick(d, Qt::Key_Return);
        else if (how == QLatin1String("Esc"))
            QTest::keyClick(d, Qt::Key_Escape);
        else
            d->close();
        QTRY_VERIFY(!form.startingUp());
        QCOMPARE(settings.GetSetting(kApp, kSection, kKey), ticked ? QStringLiteral("none") : QString());
    }

    // A file given at the start (the command line, the desktop) is selected, and plays when asked:
    // the advice to select a file first does not apply, so that start shows no tips.
    void aStartWithAFileSelectsItWithoutTips_data()
    {
        QTest::addColumn<bool>("play");
        QTest::newRow("select") << false;
        QTest::newRow("play") << true;
    }

    void aStartWithAFileSelectsItWithoutTips()
    {
        QFETCH(bool, play);
        parts.settings = {};
        qb::app::Program program(parts.parts());
        Form1& form = program.window();
        program.start(QByteArrayLiteral("/music/loop.wav"), play);
        QVERIFY(!form.startingUp());
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_VERIFY(form.state().IsOpen);
        QCOMPARE(form.state().FilePath, QStringLiteral("/music/loop.wav"));
        QCOMPARE(form.state().IsPlaying, play);
        QVERIFY(form.tips() == nullptr);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QCOMPARE(parts.settings.GetSetting(kApp, kSection, kKey), QString()); // the next start has tips
    }

    // Files handed over by later starts while the tips are up wait for them, and then are taken in
    // the order they came.
    void handOversWaitForTheTipsInOrder()
    {
        parts.settings = {};
        parts.mci.log.clear();
        QTemporaryDir dir;
        const QString a = dir.filePath(QStringLiteral("a.wav"));
        const QString b = dir.filePath(QStringLiteral("b.wav"));
        QVERIFY(qb::test::writeWav(a, 441));
        QVERIFY(qb::test::writeWav(b, 441));
        qb::app::Program program(parts.parts());
        Form1& form = program.window();
        qb::session::SingleWindow single(QDir::temp().filePath(QStringLiteral("unused-window-socket")));
        program.takeRequests(single);
        program.start();
        TipDialog* tips = shownTips(form);
        QVERIFY(tips);
        emit single.requested({a.toLocal8Bit(), false});
        emit single.requested({b.toLocal8Bit(), true});
        // Whatever runs at once has run when a timer queued after it fires.
        bool flushed = false;
        QTimer::singleShot(0, [&flushed] { flushed = true; });
        QTRY_VERIFY(flushed);
        QVERIFY(parts.mci.log.filter(QStringLiteral("open")).isEmpty());
        QVERIFY(tips->isVisible());

        tips->cmdOK->click();
        QTRY_VERIFY(form.state().IsPlaying);
        QCOMPARE(parts.mci.log.filter(QStringLiteral("send:open")),
                 (QStringList{QStringLiteral("send:open %1 alias midi").arg(a),
                              QStringLiteral("send:open %1 alias midi").arg(b)}));
        QCOMPARE(form.state().FilePath, b);
    }

    void altSTicksTheBox()
    {
        qb::test::MemorySettingsStore settings;
        TipDialog dialog(settings, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTest::keyClick(&dialog, Qt::Key_S, Qt::AltModifier);
        QTRY_VERIFY(dialog.Check1->isChecked()); // the access key clicks after a short press animation
        dialog.cmdOK->click();
        QCOMPARE(settings.GetSetting(kApp, kSection, kKey), QStringLiteral("none"));
    }

    void anUntickedCloseKeepsAValueStoredBefore()
    {
        qb::test::MemorySettingsStore settings;
        settings.SaveSetting(kApp, kSection, kKey, QStringLiteral("edited by hand"));
        TipDialog dialog(settings, messages);
        dialog.show();
        dialog.cmdOK->click();
        QCOMPARE(settings.GetSetting(kApp, kSection, kKey), QStringLiteral("edited by hand"));
    }

    // A store that refuses the value (a settings file that is not INI text, a full disk) is not
    // passed over in silence: the user learns that the tips will come back.
    void aRefusedSaveIsSaid()
    {
        qb::test::MemorySettingsStore settings;
        settings.setWritable(false);
        qb::test::RecordingMessageBox refusals;
        TipDialog dialog(settings, refusals);
        dialog.show();
        dialog.Check1->setChecked(true);
        dialog.cmdOK->click();
        QCOMPARE(settings.saveCount(), 1);
        QCOMPARE(settings.GetSetting(kApp, kSection, kKey), QString());
        QCOMPARE(refusals.shown.size(), std::size_t{1});
        QCOMPARE(refusals.shown.front().text,
                 QStringLiteral("設定を保存できませんでした。次回の起動時にもこの画面が表示されます。"));
        QCOMPARE(refusals.shown.front().caption, QStringLiteral("Quillbeat"));
    }
};

QTEST_MAIN(TipDialogTest)
#include "TipDialogTest.moc"
