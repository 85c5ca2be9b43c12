#pragma once

#include <cstdint>

namespace qb::mci {

using MCIERROR = std::uint32_t;

// The MCI command-string service as the program calls it. The production implementation is
// MciService; tests wrap it to record or answer commands.
class MciApi
{
public:
    virtual ~MciApi() = default;

    // Sends `command`. Returns 0 when it was accepted, an MCI error code otherwise; shows nothing.
    // When the command has a reply and `returnString` is given, the reply is copied there
    // NUL-terminated; a reply that does not fit `returnLength` bytes (NUL included) is refused with
    // MCIERR_PARAM_OVERFLOW. `callbackWindow` receives notifications; null for none.
    virtual MCIERROR mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                                    void* callbackWindow) = 0;

    // Sends `command`; when it fails, shows the service's own error box and returns false.
    virtual bool mciExecute(const char* command) = 0;
};

} // namespace qb::mci
