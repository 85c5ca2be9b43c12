// The real message box: text, caption, one OK button, no icon, modal; timers run while it is up.
#include "dialogs/QtMessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>

using qb::platform::QtMessageBoxPresenter;

class SystemMessageBoxTest : public QObject
{
    Q_OBJECT

private slots:
    void showsTextCaptionAndOneOkButton()
    {
        QWidget owner;
        owner.show();
        QApplication::setActiveWindow(&owner);

        struct Seen
        {
            bool found = false;
            QString text;
            QString title;
            QMessageBox::Icon icon = QMessageBox::Warning;
            int buttons = 0;
            bool okButton = false;
            Qt::WindowModality modality = Qt::NonModal;
            int ticksWhileShown = 0;
            bool isActiveModal = false;
        } seen;

        // Timers keep ticking while the box waits for OK; the same timer answers it.
        QTimer ticker;
        ticker.setInterval(1);
        int polls = 0;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            QMessageBox* box = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* candidate = qobject_cast<QMessageBox*>(w); candidate && candidate->isVisible())
                    box = candidate;
            }
            if (!box) {
                if (++polls > 5000)
                    ticker.stop();
                return;
            }
            seen.isActiveModal = QApplication::activeModalWidget() == box;
            if (!seen.found) {
                seen.found = true;
                seen.text = box->text();
                seen.title = box->windowTitle();
                seen.icon = box->icon();
                seen.buttons = static_cast<int>(box->buttons().size());
                seen.okButton = box->button(QMessageBox::Ok) != nullptr;
                seen.modality = box->windowModality();
            }
            if (++seen.ticksWhileShown >= 3)
                box->button(QMessageBox::Ok)->click();
        });
        ticker.start();

        const QString text = QString::fromUtf8("指定されたファイルが見つかりません。<b>not bold</b>");
        QtMessageBoxPresenter().show(text, QStringLiteral("MCI"));
        ticker.stop();

        QVERIFY(seen.found);
        QCOMPARE(seen.text, text);
        QCOMPARE(seen.title, QStringLiteral("MCI"));
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.buttons, 1);
        QVERIFY(seen.okButton);
        QCOMPARE(seen.modality, Qt::ApplicationModal);
        QVERIFY(seen.ticksWhileShown >= 3);
        QVERIFY(seen.isActiveModal);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
    }
};

QTEST_MAIN(SystemMessageBoxTest)
#include "SystemMessageBoxTest.moc"
