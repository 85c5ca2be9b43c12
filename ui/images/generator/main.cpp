// Draws every picture of ui/images into the folder given on the command line.
// The output depends only on this program, the Qt version and the Debian
// font files named below, which are loaded by path so that the fonts
// installed or preferred on the machine play no part.

#include "Dib.h"
#include "Pictures.h"
#include "WordFrame.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <QRawFont>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

using namespace qb::imagegen;

struct Face
{
    const char* file;
    const char* package;
};

// The typeface of each animation frame, in frame order, and the still's.
constexpr Face kFrameFaces[] = {
    {"/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf", "fonts-liberation2"},
    {"/usr/share/fonts/opentype/urw-base35/NimbusSansNarrow-Bold.otf", "fonts-urw-base35"},
    {"/usr/share/fonts/truetype/liberation2/LiberationSerif-Regular.ttf", "fonts-liberation2"},
    {"/usr/share/fonts/opentype/comic-neue/ComicNeue-Bold.otf", "fonts-comic-neue"},
    {"/usr/share/fonts/truetype/quicksand/Quicksand-Regular.ttf", "fonts-quicksand"},
};
constexpr int kStillFace = 1;

constexpr int kWordWidth = 64;
constexpr int kWordHeight = 32;
const QColor kPanelGreen(148, 226, 148);

QRawFont loadFace(const Face& face)
{
    // The size only sets the units of the outlines; the word is scaled to fit.
    QRawFont font(QString::fromLatin1(face.file), 100.0, QFont::PreferNoHinting);
    if (!font.isValid())
        throw std::runtime_error(std::string("cannot load ") + face.file + " (Debian package " +
                                 face.package + ")");
    return font;
}

void writeFile(const QDir& folder, const QString& name, const QByteArray& bytes)
{
    QFile file(folder.filePath(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + file.fileName().toStdString());
}

// The button's face is drawn, put through JPEG once for its soft shading, and stored as the
// decoded pixels, so that the window shows the JPEG's picture without loading a JPEG decoder: a rule
// the idle memory figure guards (bench/README.md).
QImage throughJpeg(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(100);
    if (!writer.write(image))
        throw std::runtime_error("cannot encode JPEG: " + writer.errorString().toStdString());
    QImage decoded = QImage::fromData(bytes, "jpeg");
    if (decoded.isNull())
        throw std::runtime_error("cannot decode the JPEG just written");
    return decoded.convertToFormat(QImage::Format_RGB32);
}

void drawAll(const QDir& folder)
{
    writeFile(folder, QStringLiteral("icon.ico"), icoFile(windowIcon()));
    writeFile(folder, QStringLiteral("tip.ico"), icoFile({tipIcon()}));
    writeFile(folder, QStringLiteral("button.bmp"), bmpFile24(throughJpeg(buttonFace())));
    writeFile(folder, QStringLiteral("panel.bmp"), bmpFile24(displayPanel()));

    const QColor blue(0, 0, 255);
    int index = 0;
    for (const Face& face : kFrameFaces) {
        const IndexedImage frame = wordPicture(loadFace(face), QStringLiteral("Playing"), kWordWidth,
                                               kWordHeight, kPanelGreen, blue);
        writeFile(folder, QStringLiteral("playing%1.bmp").arg(index++), bmpFile8(frame));
    }
    const IndexedImage still = wordPicture(loadFace(kFrameFaces[kStillFace]), QStringLiteral("Stopping"),
                                           kWordWidth, kWordHeight, kPanelGreen, QColor(255, 0, 0));
    writeFile(folder, QStringLiteral("stopping.bmp"), bmpFile8(still));
}

QByteArray pngBytes(const QImage& image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        throw std::runtime_error("cannot encode PNG: " + writer.errorString().toStdString());
    return bytes;
}

// The desktop's application icons, as an icon theme lays them out: hicolor/<size>/apps/<id>.png|svg.
void drawDesktopIcons(const QDir& folder)
{
    const QString name = QStringLiteral("io.github.quillbeat.Quillbeat");
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QString sub = QStringLiteral("hicolor/%1x%1/apps").arg(size);
        if (!folder.mkpath(sub))
            throw std::runtime_error("cannot create " + folder.filePath(sub).toStdString());
        writeFile(QDir(folder.filePath(sub)), name + QStringLiteral(".png"), pngBytes(applicationIcon(size)));
    }
    const QString scalable = QStringLiteral("hicolor/scalable/apps");
    if (!folder.mkpath(scalable))
        throw std::runtime_error("cannot create " + folder.filePath(scalable).toStdString());
    writeFile(QDir(folder.filePath(scalable)), name + QStringLiteral(".svg"), applicationIconSvg());
}

} // namespace

int main(int argc, char* argv[])
{
    // Fonts are read from files, so no display or font configuration is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 2 && args.size() != 3) {
        std::fprintf(stderr, "usage: quillbeat_imagegen OUTPUT_FOLDER [DESKTOP_ICON_FOLDER]\n");
        return 2;
    }
    const QDir folder(args[1]);
    if (!folder.exists()) {
        std::fprintf(stderr, "quillbeat_imagegen: no folder %s\n", qPrintable(args[1]));
        return 2;
    }
    try {
        drawAll(folder);
        if (args.size() == 3)
            drawDesktopIcons(QDir(args[2]));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillbeat_imagegen: %s\n", e.what());
        return 1;
    }
    return 0;
}
