#include "media/OpenDialog.h"

#include "dialogs/OpenFileDialog.h"
#include "system/CodePage.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdint>
#include <vector>

namespace qb::media {
namespace {

// Linux's PATH_MAX: any path the system can open fits, whatever its script. A Windows-sized
// buffer of 256 bytes would hold only about 85 Japanese characters of UTF-8.
constexpr std::uint32_t kPathBufferSize = 4096;
constexpr std::uint32_t kDialogFlags = platform::OFN_EXPLORER | platform::OFN_FILEMUSTEXIST |
                                       platform::OFN_PATHMUSTEXIST | platform::OFN_HIDEREADONLY;
static_assert(kDialogFlags == 0x81804);

} // namespace

QString ShowOpenDialog(QWidget* owner, const QString& filter, const QString& initialDir,
                       bool& DialogCancelled, platform::FileDialogHost& host)
{
    // The conversion keeps the caller's NULs; the extra one ends the pair list.
    const std::string ansiFilter = platform::toAnsi(filter) + '\0';
    const std::string ansiInitialDir = platform::toAnsi(initialDir);
    std::vector<char> file(kPathBufferSize, '\0');
    std::vector<char> fileTitle(kPathBufferSize, '\0');

    platform::OPENFILENAMEA ofn{};
    ofn.lStructSize = platform::OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = owner;
    ofn.hInstance = QCoreApplication::instance();
    ofn.lpstrFilter = ansiFilter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = kPathBufferSize;
    ofn.lpstrFileTitle = fileTitle.data();
    ofn.nMaxFileTitle = kPathBufferSize;
    ofn.lpstrInitialDir = ansiInitialDir.c_str();
    ofn.Flags = kDialogFlags;

    if (platform::GetOpenFileNameA(&ofn, host) == 0) {
        DialogCancelled = true;
        return QString();
    }
    DialogCancelled = false;
    return platform::fromAnsi(file.data());
}

} // namespace qb::media
