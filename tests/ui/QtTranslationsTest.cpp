// Qt's own texts in Japanese, and Qt's dialogs keeping no settings file of their own.
#include "system/SettingsStore.h"
#include "ui/Translations.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class QtTranslationsTest : public QObject
{
    Q_OBJECT

private slots:
    void standardButtonsAndTheFileDialogSpeakJapanese()
    {
        QCOMPARE(QDialogButtonBox(QDialogButtonBox::Cancel).button(QDialogButtonBox::Cancel)->text(),
                 QStringLiteral("Cancel")); // Qt's own English before
        QVERIFY(qb::ui::installQtTranslations(*QApplication::instance()));
        // The catalogue is read when Qt first needs one of its texts, not before.
        const auto catalogueMapped = [] {
            QFile maps(QStringLiteral("/proc/self/maps"));
            return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("qtbase_ja.qm");
        };
        QVERIFY(!catalogueMapped());

        QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        QCOMPARE(box.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("キャンセル"));
        QVERIFY(catalogueMapped());

        QFileDialog dialog(nullptr, QStringLiteral("ファイルを開く"));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("ファイルを開く")); // the program's own text stays
        QStringList buttons;
        for (const QPushButton* button : dialog.findChildren<QPushButton*>())
            buttons << button->text();
        QVERIFY2(buttons.contains(QStringLiteral("開く(&O)")), qPrintable(buttons.join(u'|')));
        QVERIFY2(buttons.contains(QStringLiteral("キャンセル")), qPrintable(buttons.join(u'|')));
        dialog.reject();
    }

    void qtsDialogsWriteNoSettingsFileOfTheirOwn()
    {
        // The tests run with a private configuration folder (XDG_CONFIG_HOME).
        const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        const QString qtProject = QDir(config).filePath(QStringLiteral("QtProject.conf"));
        const auto openAndCloseAFileDialog = [] {
            QFileDialog dialog;
            dialog.setOption(QFileDialog::DontUseNativeDialog);
            dialog.setDirectory(QDir::tempPath());
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            dialog.reject();
        }; // a file dialog stores its state when it goes

        QFile::remove(qtProject);
        openAndCloseAFileDialog();
        QVERIFY2(QFile::exists(qtProject), "Qt's own behaviour, which is to be turned off");
        QVERIFY(QFile::remove(qtProject));

        qb::ui::keepQtDialogStateUnsaved();
        openAndCloseAFileDialog();
        QVERIFY2(!QFile::exists(qtProject), qPrintable(qtProject));

        // The program's own setting is stored and read back as before.
        qb::platform::QSettingsStore store;
        QVERIFY(store.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"),
                                  QStringLiteral("Start"), QStringLiteral("none")));
        QCOMPARE(qb::platform::QSettingsStore().GetSetting(
                     QStringLiteral("Quillbeat"), QStringLiteral("Settings"), QStringLiteral("Start")),
                 QStringLiteral("none"));
    }
};

QTEST_MAIN(QtTranslationsTest)
#include "QtTranslationsTest.moc"
