#pragma once

#include <cstdint>

class QFileDialog;
class QWidget;

namespace qb::platform {

// Flags of OPENFILENAMEA::Flags. Only the ones marked "honoured" change the dialog; the others
// are accepted and ignored.
inline constexpr std::uint32_t OFN_READONLY = 0x00000001;
inline constexpr std::uint32_t OFN_OVERWRITEPROMPT = 0x00000002;
inline constexpr std::uint32_t OFN_HIDEREADONLY = 0x00000004; // there never is a read-only box
inline constexpr std::uint32_t OFN_NOCHANGEDIR = 0x00000008;  // honoured
inline constexpr std::uint32_t OFN_SHOWHELP = 0x00000010;
inline constexpr std::uint32_t OFN_ENABLEHOOK = 0x00000020;
inline constexpr std::uint32_t OFN_ENABLETEMPLATE = 0x00000040;
inline constexpr std::uint32_t OFN_NOVALIDATE = 0x00000100;
inline constexpr std::uint32_t OFN_ALLOWMULTISELECT = 0x00000200; // one file is chosen regardless
inline constexpr std::uint32_t OFN_EXTENSIONDIFFERENT = 0x00000400;
inline constexpr std::uint32_t OFN_PATHMUSTEXIST = 0x00000800; // honoured
inline constexpr std::uint32_t OFN_FILEMUSTEXIST = 0x00001000; // honoured
inline constexpr std::uint32_t OFN_CREATEPROMPT = 0x00002000;
inline constexpr std::uint32_t OFN_NOREADONLYRETURN = 0x00008000;
inline constexpr std::uint32_t OFN_EXPLORER = 0x00080000;
inline constexpr std::uint32_t OFN_DONTADDTORECENT = 0x02000000;
inline constexpr std::uint32_t OFN_FORCESHOWHIDDEN = 0x10000000; // honoured

// The smallest lStructSize accepted: the record without the fields later versions appended.
inline constexpr std::uint32_t OPENFILENAME_SIZE_VERSION_400A = 76;

using LPOFNHOOKPROC = std::uintptr_t (*)(QWidget*, unsigned, std::uintptr_t, std::intptr_t);

// The open-file record. All texts are in the "ANSI code page", which here is the file-system
// encoding (UTF-8). The caller owns every buffer; the dialog writes only lpstrFile and
// lpstrFileTitle (and nFilterIndex, nFileOffset, nFileExtension).
struct OPENFILENAMEA
{
    std::uint32_t lStructSize = 0;
    QWidget* hwndOwner = nullptr; // the dialog is modal to it; may be null
    void* hInstance = nullptr;    // unused
    // Pairs of NUL-terminated texts, description then patterns ("*.mid;*.rmi"), ended by an empty
    // text (so the whole ends with two NULs). Null: every file is shown.
    const char* lpstrFilter = nullptr;
    char* lpstrCustomFilter = nullptr; // unused
    std::uint32_t nMaxCustFilter = 0;
    // 1-based index of the pair selected at the start; on success, the pair in use at the end.
    std::uint32_t nFilterIndex = 0;
    // In: a file name to preselect, or an empty text. Out: the chosen full path, NUL-terminated.
    char* lpstrFile = nullptr;
    std::uint32_t nMaxFile = 0; // bytes of lpstrFile, NUL included
    // Out, when not null: the chosen file's name without its folder; left empty when too small.
    char* lpstrFileTitle = nullptr;
    std::uint32_t nMaxFileTitle = 0;
    const char* lpstrInitialDir = nullptr; // null: the current folder
    const char* lpstrTitle = nullptr;      // null: the toolkit's default caption
    std::uint32_t Flags = 0;
    // Out: byte offsets in lpstrFile of the name and of its extension (after the dot; the
    // terminating NUL when there is no extension, 0 when the name ends in a dot).
    std::uint16_t nFileOffset = 0;
    std::uint16_t nFileExtension = 0;
    const char* lpstrDefExt = nullptr;    // unused
    std::intptr_t lCustData = 0;          // unused
    LPOFNHOOKPROC lpfnHook = nullptr;     // unused
    const char* lpTemplateName = nullptr; // unused
};

// Shows an open-file dialog that is set up and waits until it closes. The real one runs it modally;
// tests and benchmarks answer it instead, from inside the dialog's own event loop.
class FileDialogHost
{
public:
    virtual ~FileDialogHost() = default;
    // Returns the dialog's result (QDialog::Accepted or QDialog::Rejected) once it has closed.
    virtual int exec(QFileDialog& dialog) = 0;
};

// The host a user meets: QDialog::exec(). Lives as long as the program.
FileDialogHost& modalFileDialogHost();

// Shows a modal open-file dialog (the toolkit's own widget dialog, so it looks and behaves alike
// everywhere) through `host` and returns when it closes; timers and other events keep being
// delivered meanwhile. Files whose names are not valid UTF-8 (old Latin-1 or Shift_JIS names) are
// listed too, after the others, under a readable form of the name, and come back in lpstrFile as
// their exact bytes. Returns nonzero when a file was chosen: lpstrFile holds its full path and,
// unless OFN_NOCHANGEDIR is set, the process's current folder is the file's folder. Returns 0 on
// cancel, on a bad record (null, lStructSize below 76, no lpstrFile) and when the path with its NUL
// does not fit nMaxFile bytes; lpstrFile and the current folder are then left alone.
// GUI thread only; needs a QApplication.
int GetOpenFileNameA(OPENFILENAMEA* ofn, FileDialogHost& host = modalFileDialogHost());

} // namespace qb::platform
