#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <memory>

namespace qb::ui {

// A picture object. Picture boxes hold it by reference, so handing one box's picture to another
// shows the very same object: no copy, no decoding. Null is the empty picture.
using Picture = std::shared_ptr<const QPixmap>;

// Loads a picture from a file or a Qt resource path (":/images/…"); the empty picture on failure.
Picture loadPicture(const QString& path);
// Loads an icon (all its images) the same way.
QIcon loadIcon(const QString& path);

} // namespace qb::ui
