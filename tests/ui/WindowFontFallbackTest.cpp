// The window still shows its texts when the Japanese face it prefers is listed by fontconfig but its
// file is damaged (a disk error, a package half unpacked, fontconfig's cache older than the file): Qt
// passes over a face it cannot read, and the window draws with the next face fontconfig offers.
//
// The test runs on a fontconfig configuration of its own, made before the application starts: the
// system's configuration with the installed IPA P Gothic hidden, and a link to that face in a folder of
// the test's. Once fontconfig has listed the face there, the link gives way to a damaged file of the
// test's own making before the window draws: what a start finds when fontconfig's cache lists a face
// whose file was damaged after.
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"
#include "ui/Label.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QRawFont>
#include <QTemporaryDir>
#include <QTest>

using qb::ui::Label;

namespace {

// Debian's fonts-ipafont-gothic, which scripts/setup installs for the tests.
const QString kInstalledFace = QStringLiteral("/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf");
const QString kDamagedFamily = QStringLiteral("IPAPGothic");

// Points fontconfig at a configuration that lists the installed face through a link in `folder`
// instead of where it is installed. Call before the application is made: fontconfig reads its
// configuration once.
bool configureFontconfig(const QTemporaryDir& folder)
{
    const QString fonts = folder.filePath(QStringLiteral("fonts"));
    if (!folder.isValid() || !QDir().mkpath(fonts) ||
        !QFile::link(kInstalledFace, fonts + QStringLiteral("/ipagp.ttf"))) {
        qWarning("cannot link %s (fonts-ipafont-gothic) from a folder of the test's",
                 qPrintable(kInstalledFace));
        return false;
    }
    // The cache folder comes first, so the system's cache is not written.
    const QByteArray config = QStringLiteral(R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <cachedir>%1</cachedir>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
  <dir>%2</dir>
  <selectfont><rejectfont><glob>%3</glob></rejectfont></selectfont>
</fontconfig>
)")
                                  .arg(folder.filePath(QStringLiteral("cache")), fonts, kInstalledFace)
                                  .toUtf8();
    QFile file(folder.filePath(QStringLiteral("fonts.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size()) {
        qWarning("cannot write %s", qPrintable(file.fileName()));
        return false;
    }
    qputenv("FONTCONFIG_FILE", QFile::encodeName(file.fileName()));
    return true;
}

} // namespace

class WindowFontFallbackTest : public QObject, private qb::test::ShownMainWindow
{
    Q_OBJECT

    const QTemporaryDir& m_folder;

public:
    explicit WindowFontFallbackTest(const QTemporaryDir& folder) : m_folder(folder) {}

private slots:
    void initTestCase()
    {
        // Listed by fontconfig (and not the installed file), then damaged before the window draws: a
        // TrueType header over tables that are not there.
        QVERIFY(QFontDatabase::families().contains(kDamagedFamily));
        const QString listed = m_folder.filePath(QStringLiteral("fonts/ipagp.ttf"));
        QVERIFY(QFile::remove(listed));
        QFile damaged(listed);
        QByteArray bytes(4096, '\0');
        bytes.replace(0, 6, QByteArray::fromHex("000100000010"));
        QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write(bytes) == bytes.size());
        damaged.close();
        QApplication::setFont(qb::ui::defaultUiFont());
        QVERIFY(open());
    }

    void theWindowShowsItsTextsInAnotherFace()
    {
        const QList<Label*> labels = form->findChildren<Label*>();
        QVERIFY(!labels.isEmpty());
        for (Label* label : labels) {
            const QString caption = label->caption();
            if (caption.trimmed().isEmpty())
                continue;
            // A face that holds every character of the text draws it.
            const QRawFont face = QRawFont::fromFont(label->font());
            QVERIFY2(face.isValid(), qPrintable(caption));
            QVERIFY2(face.familyName() != kDamagedFamily, qPrintable(caption));
            for (const char32_t c : caption.toUcs4())
                QVERIFY2(QChar::isSpace(c) || face.supportsCharacter(c), qPrintable(caption));
            // And the label looks as it would if the damaged face were not installed at all.
            const QImage shown = label->grab().toImage();
            const QFont font = label->font();
            QFont without = font;
            QStringList families = font.families();
            families.removeAll(kDamagedFamily);
            without.setFamilies(families);
            label->setFont(without);
            const QImage withoutDamaged = label->grab().toImage();
            label->setFont(font);
            QVERIFY2(shown == withoutDamaged, qPrintable(caption));
        }
    }
};

int main(int argc, char* argv[])
{
    const QTemporaryDir folder;
    if (!configureFontconfig(folder))
        return 1;
    QApplication app(argc, argv);
    WindowFontFallbackTest test(folder);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "WindowFontFallbackTest.moc"
