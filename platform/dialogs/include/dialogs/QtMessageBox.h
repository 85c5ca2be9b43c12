#pragma once

#include "system/MessageBox.h"

namespace qb::platform {

// The real box (QMessageBox), modal to the active window.
class QtMessageBoxPresenter : public MessageBoxPresenter
{
public:
    void show(const QString& text, const QString& caption) override;
};

} // namespace qb::platform
