#pragma once

#include "sound/MciApi.h"
#include "sound/SoundStack.h"

#include <QString>
#include <memory>
#include <string>
#include <vector>

namespace qb::mci {

// The MCI service as the window holds it: the sound module is loaded, and its stack made, at the
// first command, so that a window without a file carries no audio library, no FluidSynth and no
// sound-server client. UI thread only, as the service.
//
// When the module cannot be used (it is missing, it is not a module of this program or comes from
// another build, or its stack does not start), every command fails with MCIERR_CANNOT_LOAD_DRIVER
// and the loader is tried again at the next one. Each failed try is told in the error box
// (SoundStackSetup::errorBox), whichever entry point was called: it is not the command's fault but
// the installation's, and the user must learn of it. The box names the module's file and the reason.
class SoundModuleLoader final : public MciApi
{
public:
    // `modulePaths`: the files tried in turn; empty: defaultModulePaths().
    explicit SoundModuleLoader(SoundStackSetup setup, std::vector<std::string> modulePaths = {});
    // Deletes the stack (closing every device). The module itself stays mapped: the libraries it
    // brought may have threads and exit handlers of their own.
    ~SoundModuleLoader() override;
    SoundModuleLoader(const SoundModuleLoader&) = delete;
    SoundModuleLoader& operator=(const SoundModuleLoader&) = delete;

    MCIERROR mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                            void* callbackWindow) override;
    // On failure shows the service's error box, or, when the module cannot be used, the box that says
    // why (only that one).
    bool mciExecute(const char* command) override;

    // Kept until the stack is made, then handed to it.
    void setStreamTitle(const std::string& title);

    // True once the stack is made.
    bool loaded() const { return m_stack != nullptr; }

    // <the program's folder>/<the installed module folder, relative to the installed program>/, then
    // the program's own folder (the build folder), each with kSoundModuleFileName.
    static std::vector<std::string> defaultModulePaths();

private:
    bool load();
    // Tells the user (and standard error) why the module at `path` cannot be used.
    void refuse(const std::string& path, const QString& why, const std::string& detail);

    SoundStackSetup m_setup;
    std::vector<std::string> m_modulePaths;
    std::unique_ptr<SoundStack> m_stack;
    std::string m_title;
};

} // namespace qb::mci
