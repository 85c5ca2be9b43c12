// What the desktop and the package manager say the player plays: the menu entry's comment (in English
// and Japanese), the AppStream description and the Debian package's description each name every family
// of file the table of media formats plays, so a format added there is not left unsaid; the package's
// one-line summary names MIDI and stays within Debian's 80 columns.
#include "sound/MediaFormats.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

namespace {

QString readFile(const char* path)
{
    QFile file(QString::fromUtf8(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The value of `key` in the desktop entry's main group; empty when it is not there.
QString desktopValue(const QString& entry, const QString& key)
{
    const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(QRegularExpression::escape(key)),
                                  QRegularExpression::MultilineOption);
    return line.match(entry).captured(1);
}

// The text a `set(NAME "...")` of the package's configuration gives; empty when there is none.
QString packageValue(const QString& config, const QString& name)
{
    const QRegularExpression set(QStringLiteral("set\\(%1 \"([^\"]*)\"\\)").arg(name));
    return set.match(config).captured(1);
}

} // namespace

class DesktopTextsTest : public QObject
{
    Q_OBJECT

private slots:
    void everyFormatThatPlaysIsNamed()
    {
        QSet<QString> kinds;
        for (const qb::formats::MediaFormat& format : qb::formats::mediaFormats())
            kinds << QString::fromLatin1(format.family.data(), static_cast<qsizetype>(format.family.size()));
        QVERIFY(kinds.size() >= 6);

        const QString entry = readFile(QUILLBEAT_DESKTOP_ENTRY);
        const QString metainfo = readFile(QUILLBEAT_METAINFO);
        const QString package = readFile(QUILLBEAT_PACKAGE_CONFIG);
        const QList<QPair<QString, QString>> texts = {
            {QStringLiteral("Comment"), desktopValue(entry, QStringLiteral("Comment"))},
            {QStringLiteral("Comment[ja]"), desktopValue(entry, QStringLiteral("Comment[ja]"))},
            {QStringLiteral("AppStream description"), metainfo.section(QStringLiteral("<description>"), 1)
                                                          .section(QStringLiteral("</description>"), 0, 0)},
            {QStringLiteral("package description"),
             packageValue(package, QStringLiteral("CPACK_PACKAGE_DESCRIPTION"))},
        };
        const QString summary = packageValue(package, QStringLiteral("CPACK_PACKAGE_DESCRIPTION_SUMMARY"));
        QVERIFY2(summary.contains(QStringLiteral("MIDI")) && summary.size() <= 80, qPrintable(summary));
        for (const auto& [where, text] : texts) {
            QVERIFY2(!text.isEmpty(), qPrintable(where + QStringLiteral(" not found")));
            for (const QString& kind : std::as_const(kinds))
                QVERIFY2(text.contains(kind),
                         qPrintable(QStringLiteral("%1 does not name %2: %3").arg(where, kind, text)));
        }
    }
};

QTEST_APPLESS_MAIN(DesktopTextsTest)
#include "DesktopTextsTest.moc"
