#include "dialogs/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>

namespace qb::platform {

void QtMessageBoxPresenter::show(const QString& text, const QString& caption)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(caption);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    // exec() runs a nested event loop, so the program's timers keep ticking while the box is up.
    box.exec();
}

} // namespace qb::platform
