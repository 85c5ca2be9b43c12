#pragma once

#include "sound/MciApi.h"

#include <QString>

namespace qb::mci {

// The Japanese text the service's error box shows for `code`. Codes without a text of their own get
// a general text that names the number.
QString mciErrorText(MCIERROR code);

// True when `code` has a text of its own.
bool hasMciErrorText(MCIERROR code);

} // namespace qb::mci
