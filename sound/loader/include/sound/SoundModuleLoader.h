#pragma once

#include "sound/MciApi.h"
#include "sound/SoundStack.h"
#include "system/MessageBox.h"

#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qb::platform {
class WorkBeside;
}

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
//
// A start with a file need not wait for the window: startAhead() loads the module and sends the file's
// open (and its play, once let go) on a thread of its own while the window is made, and the window's
// own open of that file is then answered by the open already made. Every command on the UI thread
// first waits for that thread to end, with the event loop running.
class SoundModuleLoader final : public MciApi
{
public:
    // The first commands of a start with a file, as the window would send them.
    struct Ahead
    {
        std::string open;              // the window's open of the file, to the letter
        std::vector<std::string> then; // sent after a successful open (the volume, say)
        std::string play;              // sent once let go (release()); empty: none
        std::string close;             // undoes the open when the window does not take it
    };

    // `modulePaths`: the files tried in turn; empty: defaultModulePaths().
    explicit SoundModuleLoader(SoundStackSetup setup, std::vector<std::string> modulePaths = {});
    // Ends the ahead's thread (its play never sent), then deletes the stack (closing every device).
    // The module itself stays mapped: the libraries it brought may have threads and exit handlers of
    // their own.
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

    // Sends `ahead` on a thread of its own, with the setup given at construction: the module is loaded,
    // the file opened and `then` sent; `play` waits for release(). Call once, before any command. The
    // window's first open, when it is `ahead.open` to the letter, is answered with the open made
    // ahead; any other open first closes it (`ahead.close`), as does the window's own close. A failure
    // ahead is silent: the window's own open then tries again and tells of it as usual.
    void startAhead(Ahead ahead);
    // Waits until the ahead has loaded the module, or failed to; at once without an ahead. The dynamic
    // linker loads one library at a time: a library the caller loads after this does not hold the
    // module's load (and the sound) back.
    void awaitModule();
    // The held play may go (this start keeps its window). Any thread.
    void release();
    // The held play never goes, and the file opened ahead is closed (this start hands its file to
    // another window). Any thread.
    void drop();
    // What the stack is lent from the next command on the UI thread: callbacks and error box alike
    // (the stack was made with forwarders to the loader's setup).
    void setSetup(SoundStackSetup setup);

    // True once the stack is made.
    bool loaded();

    // Where the program keeps its modules (posix::programModulePaths()), with kSoundModuleFileName.
    static std::vector<std::string> defaultModulePaths();

private:
    // Forwards the stack's error boxes to the setup's box of the moment.
    class BoxForwarder final : public platform::MessageBoxPresenter
    {
    public:
        explicit BoxForwarder(SoundModuleLoader& loader) : m_loader(loader) {}
        void show(const QString& text, const QString& caption) override;

    private:
        SoundModuleLoader& m_loader;
    };

    bool load();
    // What the stack is made with: forwarders to m_setup.
    SoundStackSetup forwarders();
    // The ahead's thread.
    void runAhead();
    // On the UI thread before each command: waits for the ahead to end, then takes a setup given meanwhile.
    void settle();
    // The window's `command`, as it meets the open made ahead: true when that open answers it.
    bool answeredAhead(const char* command);
    // Tells the user (and standard error) why the module at `path` cannot be used.
    void refuse(const std::string& path, const QString& why, const std::string& detail);

    SoundStackSetup m_setup;
    std::unique_ptr<SoundStackSetup> m_nextSetup; // given while the ahead ran
    BoxForwarder m_box{*this};
    std::vector<std::string> m_modulePaths;
    std::unique_ptr<SoundStack> m_stack;
    std::string m_title;

    Ahead m_ahead;
    std::shared_ptr<platform::WorkBeside> m_aheadWork; // kept alive by a wait a nested command ends
    std::mutex m_gateMutex;
    std::condition_variable m_gate;
    enum class Gate
    {
        Held,
        Released,
        Dropped
    } m_gateState = Gate::Held;
    bool m_moduleTried = false; // the ahead has loaded the module, or failed to
    bool m_aheadOpen = false;   // the ahead's open succeeded and its device is not yet the window's
};

} // namespace qb::mci
