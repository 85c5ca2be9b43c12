#pragma once

#include "SelectDriver.h"
#include "app/Program.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/mci/MciService.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <memory>

namespace qb::bench {

// The program as main.cpp makes it, on an MCI service over the engine and output a benchmark gives,
// with its message boxes recorded and its Select dialog answered by `select`; started, the tips
// turned off.
struct BenchWindow
{
    audio::AudioEngine engine;
    test::RecordingMessageBox messages;
    mci::MciService mci;
    test::MemorySettingsStore settings;
    SelectDriver select; // answers the Select dialog
    app::Program program;
    ui::Form1& form;

    explicit BenchWindow(std::unique_ptr<audio::AudioOutput> output)
        : engine(std::move(output)), mci(engine, messages),
          program({&mci, &messages, &settings, &select, {}}), form(program.window())
    {
        startWithoutTips(settings, program);
    }

    static void startWithoutTips(test::MemorySettingsStore& settings, app::Program& program)
    {
        settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"), QStringLiteral("Start"),
                             QStringLiteral("none"));
        program.start();
    }
};

} // namespace qb::bench
