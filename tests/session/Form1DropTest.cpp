// Files dropped on the main window, through Qt's drag-and-drop events, as the program takes them: one
// file (of several, the first) follows the rules of a file a later start hands over: it plays on when
// the window was playing, a file that does not open is named in the message box, and nothing is taken
// while Select's dialog is up.
#include "app/Program.h"
#include "support/ShownMainWindow.h"
#include "testkit/AudioFiles.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace qb;

class Form1DropTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // Drags `urls` over the window and drops them; true when the window took the drag.
    static bool drop(ui::Form1& form, const QList<QUrl>& urls)
    {
        QMimeData data;
        data.setUrls(urls);
        const QPointF at(100, 60);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(&form, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(at, Qt::CopyAction | Qt::LinkAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&form, &dropped);
        return dropped.isAccepted();
    }

    QString wav(const QString& name)
    {
        const QString path = dir.filePath(name);
        if (!test::writeWav(path, 441))
            qWarning("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void theFirstDroppedFileIsSelected()
    {
        test::RecordedParts parts;
        app::Program program(parts.parts());
        ui::Form1& form = program.window();
        QVERIFY(form.acceptDrops());
        const QString first = wav(QStringLiteral("first.wav"));
        const QString second = wav(QStringLiteral("second.wav"));

        QVERIFY(drop(form, {QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));
        QTRY_VERIFY(form.state().IsOpen);
        QCOMPARE(parts.mci.log.filter(QStringLiteral("open")),
                 QStringList{QStringLiteral("send:open ") + first + QStringLiteral(" alias midi")});
        QCOMPARE(form.state().FilePath, first);
        QCOMPARE(form.windowTitle(), first);
        QVERIFY(!form.state().IsPlaying);
        QCOMPARE(parts.dialogs.dialogsShown(), 0);
    }

    void aFileDroppedWhilePlayingPlaysOn()
    {
        test::RecordedParts parts;
        app::Program program(parts.parts());
        ui::Form1& form = program.window();
        const QString first = wav(QStringLiteral("first.wav"));
        const QString second = wav(QStringLiteral("second.wav"));
        program.open(first.toLocal8Bit(), true);
        QTRY_VERIFY(form.state().IsPlaying);

        QVERIFY(drop(form, {QUrl::fromLocalFile(second)}));
        QTRY_COMPARE(form.state().FilePath, second);
        QVERIFY(form.state().IsPlaying);
        QCOMPARE(parts.mci.log.last(), QStringLiteral("send:play midi notify"));
    }

    void aDroppedFileThatDoesNotOpenIsNamed()
    {
        test::RecordedParts parts;
        app::Program program(parts.parts());
        ui::Form1& form = program.window();
        const QString broken = dir.filePath(QStringLiteral("broken.mid"));
        QVERIFY(test::writeBytes(broken, QByteArray("not MIDI")));
        parts.mci.script("open " + broken.toStdString() + " alias midi", {mci::MCIERROR(296), {}});

        QVERIFY(drop(form, {QUrl::fromLocalFile(broken)}));
        QTRY_COMPARE(parts.messages.shown.size(), std::size_t(1));
        QVERIFY(parts.messages.shown[0].text.contains(broken));
        QVERIFY(parts.messages.shown[0].text.contains(QStringLiteral("開けませんでした")));
        QCOMPARE(form.label1Caption(), QStringLiteral("ファイルを選択してください"));
        QVERIFY(!form.state().IsOpen);
    }

    void somethingThatIsNoFileIsRefused()
    {
        test::RecordedParts parts;
        app::Program program(parts.parts());
        QVERIFY(!drop(program.window(), {QUrl(QStringLiteral("https://example.org/song.mid"))}));
        QVERIFY(parts.mci.log.isEmpty());
    }

    void dropsAreRefusedWhileTheDialogIsUp()
    {
        test::RecordedParts parts;
        const QString file = wav(QStringLiteral("song.wav"));
        ui::Form1* target = nullptr;
        bool taken = true;
        test::DialogCallback dialogs([&](QFileDialog& dialog) {
            taken = drop(*target, {QUrl::fromLocalFile(file)});
            dialog.reject();
        });
        app::Parts lent = parts.parts();
        lent.dialogs = &dialogs;
        app::Program program(lent);
        target = &program.window();
        program.window().Command3_Click();
        QVERIFY(!taken);
        QVERIFY(parts.mci.log.filter(QStringLiteral("open")).isEmpty());
        // Once the dialog is gone, the same drop is taken.
        QVERIFY(drop(program.window(), {QUrl::fromLocalFile(file)}));
        QTRY_COMPARE(parts.mci.log.filter(QStringLiteral("open")).size(), 1);
    }
};

QTEST_MAIN(Form1DropTest)
#include "Form1DropTest.moc"
