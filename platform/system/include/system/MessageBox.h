#pragma once

#include <QString>

namespace qb::platform {

// A modal message box with one OK button and no icon. Everything the program and its platform
// services show goes through this seam, so tests can answer or record instead of blocking.
class MessageBoxPresenter
{
public:
    virtual ~MessageBoxPresenter() = default;
    // Returns when the user has dismissed the box. Timers keep ticking meanwhile.
    virtual void show(const QString& text, const QString& caption) = 0;
};

} // namespace qb::platform
