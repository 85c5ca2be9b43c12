// The window as a screen reader and a keyboard user meet it: named commands with a press action,
// readable status line and information box, Space and Enter on a focused command, a focus mark only
// while a command has the focus, and the tab order of the main window and the tips dialog.
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"
#include "ui/ImageButton.h"
#include "ui/Label.h"
#include "ui/PictureBox.h"
#include "ui/TipDialog.h"
#include "ui/UiFont.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>

using qb::ui::Form1;
using qb::ui::TipDialog;

namespace {

QAccessibleInterface* accessible(QWidget* widget)
{
    return QAccessible::queryAccessibleInterface(widget);
}

// The names of the widgets that Tab visits from `start`, until the focus comes back to it.
QStringList tabCycleFrom(QWidget* start)
{
    start->setFocus(Qt::TabFocusReason);
    QStringList visited{QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString()};
    for (int i = 0; i < 40; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* now = QApplication::focusWidget();
        if (!now || now == start)
            break;
        visited << now->objectName();
    }
    return visited;
}

} // namespace

// The window and its recording services are the fixture's own members (mci, messages, form...).
class AccessibilityTest : public QObject, private qb::test::ShownMainWindow
{
    Q_OBJECT

    QWidget* widgetNamed(const QString& name) const { return form->findChild<QWidget*>(name); }

private slots:
    void initTestCase() { QApplication::setFont(qb::ui::defaultUiFont()); }

    void init()
    {
        mci = qb::test::RecordingMci();
        mci.script("play midi notify", {263, {}}); // no file open
        messages.shown.clear();
        dialogs.cancel();
        QVERIFY(open());
    }

    void cleanup() { form.reset(); }

    void commandsAreAnnouncedAsNamedButtons_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::newRow("Command1") << "Command1"
                                  << "再生"
                                  << "Play";
        QTest::newRow("Command2") << "Command2"
                                  << "停止"
                                  << "Stop";
        QTest::newRow("Command3") << "Command3"
                                  << "選択"
                                  << "Select";
    }

    void commandsAreAnnouncedAsNamedButtons()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        QFETCH(QString, description);
        QAccessibleInterface* button = accessible(widgetNamed(control));
        QVERIFY(button);
        QCOMPARE(button->role(), QAccessible::Button);
        QCOMPARE(button->text(QAccessible::Name), name);
        QCOMPARE(button->text(QAccessible::Description), description);
        QVERIFY(button->state().focusable);
        QVERIFY(button->actionInterface());
        QVERIFY(button->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
    }

    void pressActionPerformsTheCommand_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("command"); // what it sends; "dialog" for Select
        QTest::newRow("Command1") << "Command1"
                                  << "send:play midi notify";
        QTest::newRow("Command2") << "Command2"
                                  << "exec:stop midi";
        QTest::newRow("Command3") << "Command3"
                                  << "dialog";
    }

    void pressActionPerformsTheCommand()
    {
        QFETCH(QString, control);
        QFETCH(QString, command);
        QAccessibleInterface* button = accessible(widgetNamed(control));
        QVERIFY(button && button->actionInterface());
        const int dialogsBefore = dialogs.dialogsShown();
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        if (command == QLatin1String("dialog")) {
            QTRY_COMPARE(dialogs.dialogsShown(), dialogsBefore + 1);
        } else {
            QTRY_VERIFY(mci.log.contains(command));
            QCOMPARE(mci.log.count(command), 1);
        }
    }

    void statusLineAndInformationBoxAreReadableText()
    {
        for (qb::ui::Label* label : {form->Label1, form->Label2}) {
            QAccessibleInterface* text = accessible(label);
            QVERIFY(text);
            QCOMPARE(text->role(), QAccessible::StaticText);
            QCOMPARE(text->text(QAccessible::Name), label->caption());
            QCOMPARE(text->text(QAccessible::Value), label->caption());
        }
        QCOMPARE(accessible(form->Label1)->text(QAccessible::Name), QStringLiteral("Quillbeat Ver1.30"));
        form->setLabel1Caption(QStringLiteral("Stop     /音楽/ループ.mid"));
        form->setLabel2Caption(QStringLiteral("Title: ループ曲"));
        QCOMPARE(accessible(form->Label1)->text(QAccessible::Name),
                 QStringLiteral("Stop     /音楽/ループ.mid"));
        QCOMPARE(accessible(form->Label2)->text(QAccessible::Value), QStringLiteral("Title: ループ曲"));
    }

    void spaceAndEnterPerformTheFocusedCommand_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Space") << int(Qt::Key_Space);
        QTest::newRow("Enter") << int(Qt::Key_Return);
        QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
    }

    void spaceAndEnterPerformTheFocusedCommand()
    {
        QFETCH(int, key);
        form->Command2->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), form->Command2);
        QTest::keyClick(form->Command2, Qt::Key(key));
        QCOMPARE(mci.log, QStringList{QStringLiteral("exec:stop midi")});

        const int dialogsBefore = dialogs.dialogsShown();
        form->Command3->setFocus(Qt::TabFocusReason);
        QTest::keyClick(form->Command3, Qt::Key(key));
        QCOMPARE(dialogs.dialogsShown(), dialogsBefore + 1);
    }

    void aHeldKeyPerformsTheCommandOnce()
    {
        form->Command2->setFocus(Qt::TabFocusReason);
        QTest::keyPress(form->Command2, Qt::Key_Space);
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
        QApplication::sendEvent(form->Command2, &repeat);
        QTest::keyRelease(form->Command2, Qt::Key_Space);
        QCOMPARE(mci.log, QStringList{QStringLiteral("exec:stop midi")});
    }

    void aFocusedCommandShowsAMarkThatLeavesWithTheFocus()
    {
        const QRect stop = form->Command2->geometry();
        QVERIFY(!qobject_cast<qb::ui::ImageButton*>(QApplication::focusWidget())); // no command has it yet
        const QImage plain = form->grab().toImage();

        form->Command2->setFocus(Qt::TabFocusReason);
        const QImage focused = form->grab().toImage();
        QVERIFY(focused.copy(stop) != plain.copy(stop)); // the mark shows
        QImage outside = focused;                        // and nothing else changes
        QImage plainOutside = plain;
        for (QImage* image : {&outside, &plainOutside})
            for (int y = stop.top(); y <= stop.bottom(); ++y)
                for (int x = stop.left(); x <= stop.right(); ++x)
                    image->setPixel(x, y, 0);
        QCOMPARE(outside, plainOutside);

        form->Picture1->setFocus(Qt::TabFocusReason);
        QCOMPARE(form->grab().toImage(), plain);
    }

    void aClickDoesNotGiveACommandTheFocus()
    {
        QWidget* before = QApplication::focusWidget();
        const QRect play = form->Command1->geometry();
        const QImage plain = form->grab().toImage().copy(play);
        QTest::mouseClick(form->Command1, Qt::LeftButton, {}, {50, 25});
        QCOMPARE(messages.shown.size(), std::size_t(1)); // the command ran
        QCOMPARE(QApplication::focusWidget(), before);
        QCOMPARE(form->grab().toImage().copy(play), plain);
    }

    void mainWindowTabOrder()
    {
        // The controls that show, in the order they were designed: the display panel, the three
        // commands once each. The animation box (a picture that says nothing the status line does
        // not), the holders below the client area (pictures and access-key buttons), labels and
        // timers take no focus.
        QCOMPARE(tabCycleFrom(form->Picture1), QStringList({"Picture1", "Command1", "Command2", "Command3"}));
    }

    // Every Tab stop has a name a screen reader speaks, and the display panel reads out what it shows
    // now; the tips' box is named without its access-key mark, and their panel reads out the tip.
    void everyTabStopIsNamed()
    {
        const auto unnamed = [](QWidget* start) {
            start->setFocus(Qt::TabFocusReason);
            QStringList found;
            for (int i = 0; i < 40; ++i) {
                QWidget* now = QApplication::focusWidget();
                if (accessible(now)->text(QAccessible::Name).trimmed().isEmpty())
                    found << now->objectName();
                QTest::keyClick(now, Qt::Key_Tab);
                if (QApplication::focusWidget() == start)
                    break;
            }
            return found;
        };
        QCOMPARE(unnamed(form->Picture1), QStringList());
        QAccessibleInterface* panel = accessible(form->Picture1);
        QCOMPARE(panel->role(), QAccessible::Pane);
        form->setLabel1Caption(QStringLiteral("Play     /音楽/ループ.mid"));
        form->setLabel2Caption(QStringLiteral("タイトル = ループ曲\r\nフォーマット = 1"));
        QCOMPARE(panel->text(QAccessible::Description),
                 QStringLiteral("Play     /音楽/ループ.mid\nタイトル = ループ曲\nフォーマット = 1"));

        form.reset();
        TipDialog dialog(settings, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(unnamed(dialog.cmdOK), QStringList());
        QCOMPARE(accessible(dialog.Check1)->text(QAccessible::Name),
                 QStringLiteral("次回起動時には表示しない"));
        QVERIFY(accessible(dialog.Picture1)
                    ->text(QAccessible::Description)
                    .contains(dialog.lblTipText->caption()));
    }

    // To assistive tools the main window is a window holding the panel and the three commands; the
    // holders below its client area are not there.
    void theWindowHoldsOnlyWhatShows()
    {
        QAccessibleInterface* window = accessible(form.get());
        QVERIFY(window);
        QCOMPARE(window->role(), QAccessible::Window);
        QStringList children;
        for (int i = 0; i < window->childCount(); ++i) {
            QAccessibleInterface* child = window->child(i);
            QVERIFY(child && child->object());
            QCOMPARE(window->indexOfChild(child), i);
            QCOMPARE(child->parent()->object(), form.get());
            children << child->object()->objectName();
        }
        QCOMPARE(children, QStringList({"Picture1", "Command1", "Command2", "Command3"}));
        QCOMPARE(window->indexOfChild(accessible(form->Command4)), -1);
        QCOMPARE(window->indexOfChild(accessible(form->Picture4)), -1);
    }

    void theFirstControlHasTheFocusWhenTheWindowOpens()
    {
        QCOMPARE(QApplication::focusWidget(), form->Picture1);
    }

    void tipsDialogTabOrder()
    {
        form.reset();
        TipDialog dialog(settings, messages);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(QApplication::focusWidget(), dialog.cmdOK);
        QCOMPARE(tabCycleFrom(dialog.cmdOK), QStringList({"cmdOK", "Picture1", "Check1"}));
    }
};

QTEST_MAIN(AccessibilityTest)
#include "AccessibilityTest.moc"
