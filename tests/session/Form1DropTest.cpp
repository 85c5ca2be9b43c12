// Files dropped on the main window, through Qt's drag-and-drop events: one file is selected as Select
// selects it, of several the first, and nothing while Select's dialog is up.
#include "support/DialogDriver.h"
#include "system/SettingsStore.h"
#include "testkit/AudioFiles.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

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

private slots:
    void oneDroppedFileIsSelected()
    {
        test::RecordingMci mci;
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        test::DialogDriver dialogs;
        ui::Form1 form({mci, messages, settings, dialogs});
        QVERIFY(form.acceptDrops());
        const QString first = dir.filePath(QStringLiteral("first.wav"));
        const QString second = dir.filePath(QStringLiteral("second.wav"));
        QVERIFY(test::writeWav(first, 441));
        QVERIFY(test::writeWav(second, 441));

        QVERIFY(drop(form, {QUrl::fromLocalFile(first), QUrl::fromLocalFile(second)}));
        QCOMPARE(mci.log.filter(QStringLiteral("open")),
                 QStringList{QStringLiteral("send:open ") + first + QStringLiteral(" alias midi")});
        QCOMPARE(form.state().FilePath, first);
        QVERIFY(form.state().IsOpen);
        QCOMPARE(form.windowTitle(), first);
        QCOMPARE(dialogs.dialogsShown(), 0);
    }

    void somethingThatIsNoFileIsRefused()
    {
        test::RecordingMci mci;
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        test::DialogDriver dialogs;
        ui::Form1 form({mci, messages, settings, dialogs});
        QVERIFY(!drop(form, {QUrl(QStringLiteral("https://example.org/song.mid"))}));
        QVERIFY(mci.log.isEmpty());
    }

    void dropsAreRefusedWhileTheDialogIsUp()
    {
        test::RecordingMci mci;
        test::RecordingMessageBox messages;
        test::MemorySettingsStore settings;
        const QString file = dir.filePath(QStringLiteral("song.wav"));
        QVERIFY(test::writeWav(file, 441));
        ui::Form1* target = nullptr;
        bool taken = true;
        test::DialogCallback dialogs([&](QFileDialog& dialog) {
            taken = drop(*target, {QUrl::fromLocalFile(file)});
            dialog.reject();
        });
        ui::Form1 form({mci, messages, settings, dialogs});
        target = &form;
        form.Command3_Click();
        QVERIFY(!taken);
        QVERIFY(mci.log.filter(QStringLiteral("open")).isEmpty());
        // Once the dialog is gone, the same drop is taken.
        QVERIFY(drop(form, {QUrl::fromLocalFile(file)}));
        QCOMPARE(mci.log.filter(QStringLiteral("open")).size(), 1);
    }
};

QTEST_MAIN(Form1DropTest)
#include "Form1DropTest.moc"
