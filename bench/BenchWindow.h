#pragma once

#include "SelectDriver.h"
#include "sound/engine/AudioEngine.h"
#include "sound/engine/Device.h"
#include "sound/mci/MciService.h"
#include "system/SettingsStore.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <memory>

namespace qb::bench {

// The program's objects as main.cpp builds them, on the output a benchmark gives: the engine, the MCI
// service, the main window (loaded and shown, the tips turned off), with its message boxes recorded and
// its Select dialog answered by `select`.
struct BenchWindow
{
    audio::AudioEngine engine;
    test::RecordingMessageBox messages;
    mci::MciService mci;
    test::MemorySettingsStore settings;
    SelectDriver select; // answers the Select dialog
    ui::Form1 form;

    explicit BenchWindow(std::unique_ptr<audio::AudioOutput> output)
        : engine(std::move(output)), mci(engine, messages), form({mci, messages, settings, select})
    {
        showWindow(settings, form);
    }

    static void showWindow(test::MemorySettingsStore& settings, ui::Form1& form)
    {
        settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"), QStringLiteral("Start"),
                             QStringLiteral("none"));
        form.Form_Load();
        form.show();
    }
};

} // namespace qb::bench
