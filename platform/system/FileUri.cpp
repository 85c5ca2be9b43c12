#include "system/FileUri.h"

#include <QUrl>

namespace qb::platform {

std::optional<QByteArray> localFileOfUri(const QByteArray& uri)
{
    const QUrl url = QUrl::fromEncoded(uri);
    if (!url.isValid() || !url.isLocalFile())
        return std::nullopt;
    // QUrl gives the host in lower case, however the URI spells it.
    const QString host = url.host();
    if (!host.isEmpty() && host != QLatin1String("localhost"))
        return std::nullopt;
    // The path's bytes as the URI spells them, not as QUrl would decode them to text.
    QByteArray path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (!path.startsWith('/') || path.contains('\0'))
        return std::nullopt;
    return path;
}

} // namespace qb::platform
