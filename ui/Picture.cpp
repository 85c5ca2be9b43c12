#include "ui/Picture.h"

#include <QFileInfo>
#include <QImageReader>

// The pictures are compiled into this static library; its resource initialiser is not referenced
// from anywhere else, so it has to be run by hand before the first load.
static void initImageResources()
{
    Q_INIT_RESOURCE(images);
}

namespace qb::ui {

namespace {

void ensureImageResources()
{
    static const bool ready = (initImageResources(), true);
    Q_UNUSED(ready);
}

} // namespace

Picture loadPicture(const QString& path)
{
    ensureImageResources();
    // The reader is told the format by the name, so that it does not wake every image plug-in
    // (and the libraries behind them) to ask whether the picture is theirs.
    QImageReader reader(path, QFileInfo(path).suffix().toLatin1());
    reader.setAutoDetectImageFormat(false);
    QPixmap pixmap = QPixmap::fromImageReader(&reader);
    if (pixmap.isNull())
        return nullptr;
    return std::make_shared<const QPixmap>(std::move(pixmap));
}

} // namespace qb::ui

namespace qb::ui {

QIcon loadIcon(const QString& path)
{
    ensureImageResources();
    return QIcon(path);
}

} // namespace qb::ui
