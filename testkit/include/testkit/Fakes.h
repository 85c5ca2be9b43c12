#pragma once

#include "sound/MciApi.h"
#include "system/MessageBox.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qb::test {

// An MCI service that records every command. Each command is answered by a scripted reply (result
// code and reply text), by the wrapped real service when there is one, or accepted with no reply.
class RecordingMci : public mci::MciApi
{
public:
    struct Answer
    {
        mci::MCIERROR result = 0;
        std::string reply;
    };

    explicit RecordingMci(mci::MciApi* real = nullptr) : m_real(real) {}

    // Answers every later `command` (exact text) with `answer`, instead of the real service.
    void script(const std::string& command, Answer answer) { m_script[command] = std::move(answer); }
    void unscript(const std::string& command) { m_script.erase(command); }

    // "send:" or "exec:" followed by the command, in the order they arrived.
    QStringList log;
    // The commands that mciExecute reported as failed (what the service's error box would show).
    QStringList failedExecutes;

    mci::MCIERROR mciSendStringA(const char* command, char* returnString, unsigned returnLength,
                                 void* callbackWindow) override
    {
        log << QStringLiteral("send:") + QString::fromUtf8(command);
        return dispatch(command, returnString, returnLength, callbackWindow);
    }

    bool mciExecute(const char* command) override
    {
        log << QStringLiteral("exec:") + QString::fromUtf8(command);
        const bool ok = dispatch(command, nullptr, 0, nullptr) == 0;
        if (!ok)
            failedExecutes << QString::fromUtf8(command);
        return ok;
    }

private:
    mci::MCIERROR dispatch(const char* command, char* returnString, unsigned returnLength, void* window)
    {
        const auto scripted = m_script.find(command);
        if (scripted == m_script.end())
            return m_real ? m_real->mciSendStringA(command, returnString, returnLength, window) : 0;
        const Answer& answer = scripted->second;
        if (answer.result == 0 && returnString && returnLength > 0) {
            const std::size_t n = std::min<std::size_t>(answer.reply.size(), returnLength - 1);
            std::copy_n(answer.reply.data(), n, returnString);
            returnString[n] = '\0';
        }
        return answer.result;
    }

    mci::MciApi* m_real;
    std::map<std::string, Answer, std::less<>> m_script;
};

// Records message boxes instead of showing them.
class RecordingMessageBox : public platform::MessageBoxPresenter
{
public:
    struct Shown
    {
        QString text;
        QString caption;
    };
    std::vector<Shown> shown;
    std::function<void()> onShow; // runs while the "box" is up, e.g. to tick timers

    void show(const QString& text, const QString& caption) override
    {
        shown.push_back({text, caption});
        if (onShow)
            onShow();
    }
};

} // namespace qb::test
