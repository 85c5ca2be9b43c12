#pragma once

#include "support/DialogDriver.h"
#include "system/SettingsStore.h"
#include "testkit/Fakes.h"
#include "testkit/MemorySettingsStore.h"
#include "ui/Form1.h"

#include <QTest>
#include <memory>

namespace qb::test {

// The main window as the window's own tests need it: on recording services, the tips turned off,
// loaded and shown as at start, and active when asked.
struct ShownMainWindow
{
    RecordingMci mci;
    RecordingMessageBox messages;
    test::MemorySettingsStore settings;
    DialogDriver dialogs;
    std::unique_ptr<ui::Form1> form;

    // A fresh window on the services as they are now. False when it is not shown (or not made active)
    // in time.
    bool open(bool active = true)
    {
        settings.SaveSetting(QStringLiteral("Quillbeat"), QStringLiteral("Settings"), QStringLiteral("Start"),
                             QStringLiteral("none"));
        form = std::make_unique<ui::Form1>(ui::Form1::Services{mci, messages, settings, dialogs});
        form->Form_Load();
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            return false;
        if (!active)
            return true;
        form->activateWindow();
        return QTest::qWaitForWindowActive(form.get());
    }
};

} // namespace qb::test
