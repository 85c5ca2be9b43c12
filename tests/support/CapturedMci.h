#pragma once

#include "sound/engine/AudioEngine.h"
#include "sound/mci/MciService.h"
#include "testkit/CaptureOutput.h"
#include "testkit/Fakes.h"

#include <QString>
#include <memory>

namespace qb::test {

// The MCI service over the real audio engine, on a capture output the test clocks by hand (no feeder
// thread: the engine's rounds run in the output's own calls), with its error boxes recorded: what the
// service's tests drive, by command strings.
struct CapturedMci
{
    std::unique_ptr<audio::AudioEngine> engine;
    audio::CaptureOutput* capture = nullptr;
    RecordingMessageBox box;
    std::unique_ptr<mci::MciService> mci;

    // A fresh engine and service, the old ones gone first.
    void make(mci::MciService::Options options = {}, int periodFrames = 512)
    {
        mci.reset();
        auto output =
            std::make_unique<audio::CaptureOutput>(periodFrames, audio::CaptureOutput::Clock::Manual);
        capture = output.get();
        audio::AudioEngine::Options engineOptions;
        engineOptions.feederThread = false;
        engine = std::make_unique<audio::AudioEngine>(std::move(output), engineOptions);
        mci = std::make_unique<mci::MciService>(*engine, box, std::move(options));
    }
    void reset()
    {
        mci.reset();
        engine.reset();
    }

    mci::MCIERROR send(const QString& command)
    {
        return mci->mciSendStringA(command.toUtf8().constData(), nullptr, 0, nullptr);
    }
    // The reply, or "error N".
    QString ask(const QString& command)
    {
        char reply[256] = {};
        const mci::MCIERROR error =
            mci->mciSendStringA(command.toUtf8().constData(), reply, sizeof reply, nullptr);
        return error == 0 ? QString::fromUtf8(reply) : QStringLiteral("error %1").arg(error);
    }
};

} // namespace qb::test
