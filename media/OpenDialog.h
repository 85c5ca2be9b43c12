#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace qb::media {

// What the open-file step reads and writes outside itself: the two captions saved before the
// dialog, the cancel flag, and the status line (Label1) and information box (Label2) of the main
// window. The referenced variables must outlive the call.
struct OpenDialogContext
{
    const QString& SavedLabel1Caption;
    const QString& SavedLabel2Caption;
    bool& DialogCancelled;
    std::function<void(const QString&)> setLabel1Caption;
    std::function<void(const QString&)> setLabel2Caption;
};

// Shows the open-file dialog modal to `owner` and returns the chosen file's full path.
// `filter` is a series of description/pattern texts, each followed by one NUL (QChar(0)), for
// example "MIDI (*.mid)\0*.mid;*.rmi\0"; its first pair is selected. The dialog opens in
// `initialDir`. On a choice: DialogCancelled becomes false, the captions are left alone and the
// process's current folder becomes the file's folder. On cancel, and on failure (including a path
// longer than 4095 bytes in the file-system encoding): returns an empty text, puts Label1 and Label2
// back to SavedLabel1Caption and SavedLabel2Caption (in that order), then sets DialogCancelled.
// Returns only when the dialog has closed; timers keep ticking meanwhile. GUI thread only.
QString ShowOpenDialog(QWidget* owner, const QString& filter, const QString& initialDir,
                       OpenDialogContext& context);

} // namespace qb::media
