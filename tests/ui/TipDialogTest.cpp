// The start-up tips dialog and its setting: when it shows, and what each way of closing it stores.
#include "ui/TipDialog.h"

#include "support/ShownMainWindow.h"
#include "system/SettingsStore.h"
#include "ui/Form1.h"
#include "ui/Label.h"
#include "ui/PictureBox.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>

using qb::ui::Form1;
using qb::ui::TipDialog;

namespace {

const QString kApp = QStringLiteral("Quillbeat");
const QString kSection = QStringLiteral("Settings");
const QString kKey = QStringLiteral("Start");

// Runs `answer` on the dialog once it is up and modal; records whether one came up at all. Stops
// looking when it goes out of scope.
struct DialogAnswerer
{
    bool seen = false;
    QPoint position;
    bool placedByProgram = false;
    std::function<void(TipDialog*)> answer;

    void arm()
    {
        QTimer::singleShot(0, &m_guard, [this] { poll(); });
    }
    void poll()
    {
        auto* dialog = qobject_cast<TipDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) {
            if (!seen && ++m_tries < 200)
                QTimer::singleShot(5, &m_guard, [this] { poll(); });
            return;
        }
        seen = true;
        position = dialog->pos();
        placedByProgram = dialog->testAttribute(Qt::WA_Moved);
        answer(dialog);
    }

private:
    QObject m_guard;
    int m_tries = 0;
};

} // namespace

class TipDialogTest : public QObject
{
    Q_OBJECT

    qb::test::RecordedParts parts;
    qb::test::RecordingMessageBox& messages = parts.messages;
    bool windowShownDuringLoad = false;
    QPoint dialogOffset;
    bool dialogPlacedByProgram = false;
    bool windowPlacedByProgram = false;

    bool loadShowsDialog(qb::platform::SettingsStore& settings)
    {
        qb::app::Parts lent = parts.parts();
        lent.settings = &settings;
        qb::app::Program program(lent);
        Form1& form = program.window();
        DialogAnswerer answerer;
        answerer.answer = [](TipDialog* d) { d->cmdOK->click(); };
        answerer.arm();
        form.Form_Load();
        windowShownDuringLoad = form.isVisible();
        windowPlacedByProgram = !answerer.seen && form.testAttribute(Qt::WA_Moved);
        form.show();
        if (!QTest::qWaitForWindowExposed(&form))
            qWarning("the main window did not show");
        dialogOffset = answerer.position - form.pos();
        dialogPlacedByProgram = answerer.placedByProgram;
        // A tips dialog still up after Form_Load counts as shown too.
        const QWidgetList windows = QApplication::topLevelWidgets();
        const bool anyTipsLeft = std::any_of(windows.begin(), windows.end(), [](QWidget* w) {
            return qobject_cast<TipDialog*>(w) && w->isVisible();
        });
        return answerer.seen || anyTipsLeft;
    }

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
        QCOMPARE(loadShowsDialog(settings), shown);
        QVERIFY(!windowShownDuringLoad);
        // The window system chooses where a new window goes: the program places neither window of
        // its own accord, and the main window opens where the dialog stood.
        QVERIFY(!windowPlacedByProgram);
        if (shown) {
            QVERIFY(!dialogPlacedByProgram);
            QCOMPARE(dialogOffset, QPoint(0, 0));
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
        DialogAnswerer answerer;
        answerer.answer = [&](TipDialog* d) {
            d->Check1->setChecked(ticked);
            if (how == QLatin1String("OK"))
                QTest::mouseClick(d->cmdOK, Qt::LeftButton);
            else if (how == QLatin1String("Enter"))
                QTest::keyClick(d, Qt::Key_Return);
            else if (how == QLatin1String("Esc"))
                QTest::keyClick(d, Qt::Key_Escape);
            else
                d->close();
        };
        answerer.arm();
        form.Form_Load();
        QVERIFY(answerer.seen);
        QCOMPARE(settings.GetSetting(kApp, kSection, kKey), ticked ? QStringLiteral("none") : QString());
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
