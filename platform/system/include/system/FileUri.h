#pragma once

#include <QByteArray>
#include <optional>

namespace qb::platform {

// The file a file: URI names on this computer, as the file system spells it: the URI's path with its
// percent escapes decoded to bytes, so a name that is not UTF-8 keeps them. Only a URI without a host
// ("file:///music/a.mid") or with the host "localhost" names a file here; one of another host names a
// file of that computer, which the same path here would not reach. None for those, for a path that is
// not absolute or holds a NUL, and for anything that is not a file: URI. Pure function.
std::optional<QByteArray> localFileOfUri(const QByteArray& uri);

} // namespace qb::platform
