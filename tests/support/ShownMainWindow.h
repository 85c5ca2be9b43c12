#pragma once

#include "app/Program.h"
#include "support/DialogDriver.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <QTest>
#include <memory>

namespace qb::test {

// The parts the window's tests lend the program: an MCI service that records (answering by script,
// or through a real one it wraps), message boxes recorded, settings in memory, the Select dialog
// answered.
struct RecordedParts
{
    RecordingMci mci;
    RecordingMessageBox messages;
    MemorySettingsStore settings;
    DialogDriver dialogs;

    app::Parts parts() { return {&mci, &messages, &settings, &dialogs, {}}; }
    void turnTipsOff()
    {
        settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"), QStringLiteral("Start"),
                             QStringLiteral("none"));
    }
};

// The main window of a program made on those parts; what a std::unique_ptr<ui::Form1> offers.
struct ProgramWindow
{
    std::unique_ptr<app::Program> program;

    ui::Form1* get() const { return program ? &program->window() : nullptr; }
    ui::Form1* operator->() const { return get(); }
    ui::Form1& operator*() const { return *get(); }
    void reset() { program.reset(); }
};

// The main window as the window's own tests need it: on recorded parts, the tips turned off, loaded
// and shown as at start, and active when asked.
struct ShownMainWindow : RecordedParts
{
    ProgramWindow form;

    // A fresh program on the parts as they are now, not started yet.
    void make() { form.program = std::make_unique<app::Program>(parts()); }

    // A fresh program, started. False when its window is not shown (or not made active) in time.
    bool open(bool active = true)
    {
        turnTipsOff();
        make();
        form.program->start();
        if (!QTest::qWaitForWindowExposed(form.get()))
            return false;
        if (!active)
            return true;
        form->activateWindow();
        return QTest::qWaitForWindowActive(form.get());
    }
};

} // namespace qb::test
