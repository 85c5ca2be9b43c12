// The main window offscreen: its controls as they stand, the hover highlighting, the click and
// access-key forwarding, the animation and unload, against a recording MCI service.
#include "ui/Form1.h"

#include "sound/MciErrors.h"
#include "support/ShownMainWindow.h"
#include "ui/Label.h"
#include "ui/PictureBox.h"
#include "ui/Timer.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

using qb::test::RecordingMci;
namespace test = qb::test;
using qb::ui::Form1;
using qb::ui::Label;
using qb::ui::PictureBox;

namespace {

struct Style
{
    QColor color;
    bool underline;
    bool bold;
    bool operator==(const Style&) const = default;
};

Style styleOf(const Label* label)
{
    return {label->foreColor(), label->fontUnderline(), label->fontBold()};
}

const Style kNormal{QColor(0, 0, 0), false, false};
const Style kHigh{QColor(200, 0, 0), true, true};

void moveOver(QWidget* widget, QPoint at = {2, 2})
{
    QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

} // namespace

// The window and its recording services are the fixture's own members (mci, messages, form...).
class Form1Test : public QObject, private qb::test::ShownMainWindow
{
    Q_OBJECT

    QStringList sent() const { return mci.log; }

    // The pixels `label` draws, in its own coordinates.
    static QRect inkOf(Label* label)
    {
        QImage ink(label->size(), QImage::Format_ARGB32_Premultiplied);
        ink.fill(Qt::transparent);
        label->render(&ink, {}, {}, QWidget::DrawChildren);
        QRect box;
        for (int y = 0; y < ink.height(); ++y)
            for (int x = 0; x < ink.width(); ++x)
                if (qAlpha(ink.pixel(x, y)) > 0)
                    box |= QRect(x, y, 1, 1);
        return box;
    }

    // The pixels the same text would draw on a label with room to spare.
    static QRect wholeInkOf(const Label* label)
    {
        Label free(label->caption());
        free.setFont(label->font());
        free.resize(label->width() * 4, label->height() * 4);
        return inkOf(&free);
    }

private slots:
    void initTestCase() { QApplication::setFont(qb::ui::defaultUiFont()); }

    void init()
    {
        mci = RecordingMci();
        mci.script("play midi notify", {qb::mci::MCIERR_INVALID_DEVICE_NAME, {}}); // no file open
        messages.shown.clear();
        QVERIFY(open());
    }

    void cleanup() { form.reset(); }

    void windowIsFixedAndBlack()
    {
        QCOMPARE(form->size(), QSize(230, 141));
        QCOMPARE(form->minimumSize(), form->maximumSize());
        const Qt::WindowFlags flags = form->windowFlags();
        QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
        QVERIFY(flags & Qt::WindowMinimizeButtonHint);
        QVERIFY(flags & Qt::WindowCloseButtonHint);
        QCOMPARE(form->windowTitle(), QStringLiteral("Quillbeat"));
        QVERIFY(!form->windowIcon().isNull());
        const QList<QSize> iconSizes = form->windowIcon().availableSizes();
        for (int size : {16, 32, 48, 64, 128, 256})
            QVERIFY2(iconSizes.contains(QSize(size, size)), qPrintable(QString::number(size)));
        QVERIFY(form->Timer1->isActive());
        QVERIFY(!form->Timer3->isActive());
    }

    // The window's layout is given to the pixel; this is the one place that asserts it. Each control
    // sits in its container and the user sees at least part of it.
    void controlsStandWhereTheyBelong_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("Command1") << "Command1"
                                  << "Form1" << QRect(8, 4, 63, 29);
        QTest::newRow("Command2") << "Command2"
                                  << "Form1" << QRect(84, 4, 63, 29);
        QTest::newRow("Command3") << "Command3"
                                  << "Form1" << QRect(160, 4, 63, 29);
        QTest::newRow("Label3") << "Label3"
                                << "Command1" << QRect(18, 6, 29, 19);
        QTest::newRow("Label4") << "Label4"
                                << "Command2" << QRect(18, 6, 33, 13);
        QTest::newRow("Label5") << "Label5"
                                << "Command3" << QRect(14, 6, 37, 15);
        QTest::newRow("Picture1") << "Picture1"
                                  << "Form1" << QRect(0, 28, 237, 111);
        QTest::newRow("Label1") << "Label1"
                                << "Picture1" << QRect(12, 14, 235, 15);
        QTest::newRow("Label2") << "Label2"
                                << "Picture1" << QRect(12, 28, 207, 75);
        QTest::newRow("Picture3") << "Picture3"
                                  << "Picture1" << QRect(138, 64, 77, 37);
    }

    void controlsStandWhereTheyBelong()
    {
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        auto* control = form->findChild<QWidget*>(name);
        QVERIFY(control);
        QCOMPARE(control->parentWidget()->objectName(), parent);
        QCOMPARE(control->geometry(), geometry);
        QVERIFY(control->isVisible());
        QVERIFY(!control->visibleRegion().isEmpty());
    }

    void theCommandsStandSideBySideWithTheirWordsWhole()
    {
        const QList<PictureBox*> buttons{form->Command1, form->Command2, form->Command3};
        const QList<Label*> words{form->Label3, form->Label4, form->Label5};
        for (qsizetype i = 0; i < buttons.size(); ++i) {
            const QString name = buttons[i]->objectName();
            // Wholly in the window, left to right in the order Play, Stop, Select, apart.
            QVERIFY2(form->rect().contains(buttons[i]->geometry()), qPrintable(name));
            if (i > 0)
                QVERIFY2(buttons[i - 1]->geometry().right() < buttons[i]->geometry().left(),
                         qPrintable(name));
            // The word lies on the button's face, inside its border, and none of it is cut off.
            QCOMPARE(words[i]->parentWidget(), buttons[i]);
            QVERIFY2(buttons[i]->rect().adjusted(1, 1, -1, -1).contains(words[i]->geometry()),
                     qPrintable(name));
            const QRect ink = inkOf(words[i]);
            QVERIFY2(!ink.isEmpty(), qPrintable(name));
            QCOMPARE(ink, wholeInkOf(words[i]));
        }
    }

    void theStatusLineInformationAndAnimationLieOnTheGreenScreen()
    {
        // Where the panel's picture is green: the status line's and the information box's first lines
        // are drawn there, one above the other, and the animation box lies wholly on it.
        const QImage panel = form->Picture1->picture()->toImage();
        const auto onGreen = [&panel](const QRect& area) {
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    if (!panel.valid(x, y) || QColor(panel.pixel(x, y)) != QColor(148, 226, 148))
                        return false;
            return true;
        };
        const QRect status = inkOf(form->Label1).translated(form->Label1->pos());
        const QRect information = inkOf(form->Label2).translated(form->Label2->pos());
        QVERIFY(!status.isEmpty() && !information.isEmpty());
        QVERIFY2(onGreen(status),
                 qPrintable(QStringLiteral("status line at %1, %2").arg(status.x()).arg(status.y())));
        QVERIFY2(onGreen(information), "information box");
        QVERIFY(status.bottom() < information.top());
        QVERIFY2(onGreen(form->Picture3->geometry()), "animation box");
    }

    void holdersAndAccessKeysLieBelowTheClientArea()
    {
        QList<PictureBox*> holders{form->Picture4};
        for (PictureBox* holder : form->Picture2)
            holders << holder;
        for (PictureBox* holder : holders)
            QVERIFY2(holder->picture(), qPrintable(holder->objectName()));
        QList<QWidget*> hidden{form->Command4, form->Command5, form->Command6};
        for (PictureBox* holder : holders)
            hidden << holder;
        for (QWidget* w : hidden) {
            QCOMPARE(w->parentWidget(), form.get());
            QVERIFY2(w->y() >= Form1::kClientHeight, qPrintable(w->objectName()));
        }
        QCOMPARE(form->Command4->text(), QStringLiteral("&P"));
        QCOMPARE(form->Command5->text(), QStringLiteral("&S"));
        QCOMPARE(form->Command6->text(), QStringLiteral("&T"));
    }

    void startsWithItsStoredTexts()
    {
        QCOMPARE(form->Label1->caption(), QStringLiteral("Quillbeat Ver1.30"));
        QVERIFY(!form->Label2->caption().isEmpty());
        QVERIFY(!form->Label2->caption().contains(QLatin1Char('\n')));
        QCOMPARE(form->Label3->caption(), QStringLiteral("Play"));
        QCOMPARE(form->Label4->caption(), QStringLiteral("Stop"));
        QCOMPARE(form->Label5->caption(), QStringLiteral("Select"));
        QVERIFY(!form->Picture3->picture());
        for (const Label* label : {form->Label1, form->Label2, form->Label3, form->Label4, form->Label5})
            QCOMPARE(styleOf(label), kNormal);
    }

    void showsBlackBackgroundAndGreenPanel()
    {
        const QImage shot = form->grab().toImage();
        QCOMPARE(shot.size(), QSize(230, 141));
        QCOMPARE(QColor(shot.pixel(2, 138)), QColor(Qt::black)); // window background under the panel's edge
        QCOMPARE(QColor(shot.pixel(150, 30 + 28)), QColor(148, 226, 148)); // the green screen
        QCOMPARE(QColor(shot.pixel(180, 28 + 80)), QColor(148, 226, 148)); // the empty animation box
        const QColor face = shot.pixel(40, 30);                            // a button face: grey
        QVERIFY(face.red() == face.green() && face.green() == face.blue() && face.red() > 20);
    }

    void hoverHighlightsTheLabelUnderThePointer_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("highlighted"); // 3, 4, 5, 0 = none, -1 = unchanged
        QTest::newRow("Label3") << "Label3" << 3;
        QTest::newRow("Label4") << "Label4" << 4;
        QTest::newRow("Label5") << "Label5" << 5;
        QTest::newRow("window background") << "Form1" << 0;
        QTest::newRow("Picture1") << "Picture1" << 0;
        QTest::newRow("Label1") << "Label1" << 0;
        QTest::newRow("Label2") << "Label2" << 0;
        QTest::newRow("button face") << "Command2" << -1;
        QTest::newRow("animation box") << "Picture3" << -1;
    }

    void hoverHighlightsTheLabelUnderThePointer()
    {
        QFETCH(QString, target);
        QFETCH(int, highlighted);
        moveOver(form->Label4); // start from "Stop" highlighted
        QWidget* widget = target == QLatin1String("Form1") ? form.get() : form->findChild<QWidget*>(target);
        moveOver(widget, target == QLatin1String("Form1") ? QPoint(2, 137) : QPoint(2, 2));
        const int expected = highlighted == -1 ? 4 : highlighted;
        QCOMPARE(styleOf(form->Label3), expected == 3 ? kHigh : kNormal);
        QCOMPARE(styleOf(form->Label4), expected == 4 ? kHigh : kNormal);
        QCOMPARE(styleOf(form->Label5), expected == 5 ? kHigh : kNormal);
    }

    void clicksAndAccessKeysReachTheirCommands()
    {
        mci.unscript("play midi notify");
        mci.script("status midi mode", {0, "playing"});
        const QString play = QStringLiteral("send:play midi notify");
        const QString stop = QStringLiteral("exec:stop midi");
        const auto sends = [&](const QString& command) {
            // An access key clicks its button after a short press animation: wait for it.
            const bool sent = QTest::qWaitFor([&] { return mci.log.contains(command); });
            const int commands = mci.log.size() - mci.log.count(QStringLiteral("send:status midi mode"));
            mci.log.clear();
            return sent && commands == 1;
        };
        QTest::mouseClick(form->Command1, Qt::LeftButton, {}, {50, 25});
        QVERIFY(sends(play));
        QTest::mouseClick(form->Label3, Qt::LeftButton);
        QVERIFY(sends(play));
        QTest::mouseClick(form->Label4, Qt::LeftButton);
        QVERIFY(sends(stop));
        QTest::mouseClick(form->Command2, Qt::LeftButton, {}, {50, 25});
        QVERIFY(sends(stop));
        QTest::keyClick(form.get(), Qt::Key_P, Qt::AltModifier);
        QVERIFY(sends(play));
        QTest::keyClick(form.get(), Qt::Key_T, Qt::AltModifier);
        QVERIFY(sends(stop));
        QCOMPARE(form->Label1->caption(), QStringLiteral("Stop     "));
    }

    void selectIsReachedFromItsButtonLabelAndAccessKey()
    {
        dialogs.cancel();
        QTest::mouseClick(form->Command3, Qt::LeftButton, {}, {55, 25});
        QCOMPARE(dialogs.dialogsShown(), 1);
        QTest::mouseClick(form->Label5, Qt::LeftButton);
        QCOMPARE(dialogs.dialogsShown(), 2);
        form->activateWindow(); // back from the dialog
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QTest::keyClick(form.get(), Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE(dialogs.dialogsShown(), 3);
        QCOMPARE(dialogs.last().parent, form.get());
        QCOMPARE(form->Label1->caption(), QStringLiteral("Quillbeat Ver1.30")); // put back on cancel
    }

    void selectingANewFileBlanksTheAnimation()
    {
        mci.unscript("play midi notify");
        mci.script("status midi mode", {0, "playing"});
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("next.wav"));
        QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        form->state().IsOpen = true;
        form->Command1_Click();
        form->Timer3_Timer();
        QVERIFY(form->Picture3->picture());

        dialogs.choose(path);
        form->Command3_Click();
        QVERIFY(!form->Picture3->picture());
        QVERIFY(!form->Timer3->isActive());
        QVERIFY(form->state().IsOpen);
        QVERIFY(!form->state().IsPlaying);
        QCOMPARE(form->windowTitle(), path);
    }

    void altPWithNoFileShowsTheMessage()
    {
        QTest::keyClick(form.get(), Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE(messages.shown.size(), std::size_t(1));
        QCOMPARE(messages.shown[0].text,
                 QStringLiteral("[Select]をおして、再生するファイルを選択してください。"));
        QCOMPARE(messages.shown[0].caption, QStringLiteral("Quillbeat"));
        QCOMPARE(form->Label1->caption(), QStringLiteral("Quillbeat Ver1.30"));
        QVERIFY(!form->Timer3->isActive());
    }

    void animationCyclesAndContinuesAfterStop()
    {
        mci.unscript("play midi notify");
        const auto shows = [&](int frame) {
            return form->Picture3->picture() == form->Picture2[frame]->picture();
        };
        form->Command1_Click();
        QVERIFY(form->Timer3->isActive());
        QVERIFY(!form->Picture3->picture()); // nothing until the first tick
        for (int frame : {0, 1, 2}) {
            form->Timer3_Timer();
            QVERIFY(shows(frame));
        }
        form->Command2_Click();
        QVERIFY(!form->Timer3->isActive());
        QCOMPARE(form->Picture3->picture(), form->Picture4->picture()); // the very same picture object
        form->Command1_Click();
        for (int frame : {3, 4, 0, 1}) {
            form->Timer3_Timer();
            QVERIFY(shows(frame));
        }
        QCOMPARE(form->state().AnimationFrame, std::int16_t(2));
    }

    void animationIgnoresACounterOutOfRange()
    {
        form->state().AnimationFrame = -3;
        form->Timer3_Timer();
        QVERIFY(!form->Picture3->picture());
        QCOMPARE(form->state().AnimationFrame, std::int16_t(-3));
        form->state().AnimationFrame = 5;
        form->Timer3_Timer();
        QCOMPARE(form->state().AnimationFrame, std::int16_t(5));
    }

    void playingAnimatesThroughTheRealTimer()
    {
        mci.unscript("play midi notify");
        form->Command1_Click();
        QTRY_VERIFY_WITH_TIMEOUT(form->Picture3->picture() == form->Picture2[0]->picture(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(form->Picture3->picture() == form->Picture2[1]->picture(), 5000);
    }

    void theAnimationGoesOnWhileTheSelectDialogIsUp()
    {
        mci.unscript("play midi notify");
        Form1* window = nullptr;
        QList<int> framesShown; // index in Picture2 of each picture shown, -1 for another one
        // The ticks are counted and the dialog closed by the dialog's own event loop.
        test::DialogCallback host([&](QFileDialog& dialog) {
            connect(window->Timer3, &QTimer::timeout, &dialog, [&] {
                const auto& frames = window->Picture2;
                const auto at = std::find_if(frames.begin(), frames.end(), [&](const PictureBox* p) {
                    return p->picture() == window->Picture3->picture();
                });
                framesShown << (at == frames.end() ? -1 : int(at - frames.begin()));
                if (framesShown.size() == 3)
                    dialog.reject();
            });
            QTimer::singleShot(20000, &dialog, &QDialog::reject); // should the ticks never come
        });
        Form1 playing(Form1::Services{mci, messages, settings, host});
        window = &playing;
        playing.Command1_Click();
        playing.Command3_Click();
        QCOMPARE(framesShown.size(), 3);
        for (qsizetype i = 0; i < framesShown.size(); ++i)
            QCOMPARE(framesShown[i], int(i % 5));
        QVERIFY(playing.Timer3->isActive());
    }

    void closingSendsCloseOnlyWithAFileOpen()
    {
        form->state().IsOpen = true;
        form->close();
        QCOMPARE(mci.log.filter(QStringLiteral("close")), QStringList{QStringLiteral("exec:close midi")});
        QCOMPARE(form->Label2->caption(), QString());
        form.reset();
        QCOMPARE(mci.log.filter(QStringLiteral("close")).size(), 1);

        mci.log.clear();
        make();
        form->show();
        form->close();
        QVERIFY(mci.log.isEmpty());
    }
};

QTEST_MAIN(Form1Test)
#include "Form1Test.moc"
