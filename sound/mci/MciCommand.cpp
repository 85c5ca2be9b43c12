#include "sound/mci/MciCommand.h"

#include "sound/MciErrors.h"

#include <limits>
#include <vector>

namespace qb::mci {
namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameWord(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

MCIERROR tokenize(std::string_view text, std::vector<std::string>& words)
{
    std::size_t i = 0;
    while (i < text.size()) {
        if (isBlank(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos)
                return MCIERR_NO_CLOSING_QUOTE;
            // A closing quote glued to more text would make the word's end ambiguous.
            if (close + 1 < text.size() && !isBlank(text[close + 1]))
                return MCIERR_EXTRA_CHARACTERS;
            words.emplace_back(text.substr(i + 1, close - i - 1));
            i = close + 1;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !isBlank(text[end]))
            ++end;
        words.emplace_back(text.substr(i, end - i));
        i = end;
    }
    return 0;
}

std::optional<MciVerb> verbOf(std::string_view word)
{
    struct Entry
    {
        std::string_view name;
        MciVerb verb;
    };
    static constexpr Entry kVerbs[] = {
        {"open", MciVerb::Open},     {"play", MciVerb::Play},     {"stop", MciVerb::Stop},
        {"pause", MciVerb::Pause},   {"resume", MciVerb::Resume}, {"seek", MciVerb::Seek},
        {"status", MciVerb::Status}, {"close", MciVerb::Close},   {"setaudio", MciVerb::SetAudio},
        {"info", MciVerb::Info},
    };
    for (const Entry& e : kVerbs) {
        if (sameWord(word, e.name))
            return e.verb;
    }
    return std::nullopt;
}

std::optional<StatusItem> statusItemOf(std::string_view word)
{
    if (sameWord(word, "mode"))
        return StatusItem::Mode;
    if (sameWord(word, "length"))
        return StatusItem::Length;
    if (sameWord(word, "position"))
        return StatusItem::Position;
    if (sameWord(word, "ready"))
        return StatusItem::Ready;
    if (sameWord(word, "volume"))
        return StatusItem::Volume;
    return std::nullopt;
}

std::optional<InfoItem> infoItemOf(std::string_view word)
{
    if (sameWord(word, "file"))
        return InfoItem::File;
    if (sameWord(word, "title"))
        return InfoItem::Title;
    if (sameWord(word, "loop"))
        return InfoItem::Loop;
    return std::nullopt;
}

// MCI positions are unsigned 32-bit; anything else, signs included, is not an integer to it.
std::optional<std::uint32_t> parseInteger(std::string_view word)
{
    if (word.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max())
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

class KeywordParser
{
public:
    KeywordParser(const std::vector<std::string>& words, ParsedCommand& cmd) : m_words(words), m_cmd(cmd) {}

    MCIERROR run()
    {
        for (m_next = 2; m_next < m_words.size();) {
            const std::string& word = m_words[m_next++];
            const MCIERROR error = keyword(word);
            if (error != 0)
                return error;
        }
        if (m_cmd.verb == MciVerb::Seek && !m_cmd.seekTarget)
            return MCIERR_MISSING_PARAMETER;
        if (m_cmd.verb == MciVerb::Status && !m_cmd.statusItem)
            return MCIERR_MISSING_PARAMETER;
        if (m_cmd.verb == MciVerb::Info && !m_cmd.infoItem)
            return MCIERR_MISSING_PARAMETER;
        if (m_cmd.verb == MciVerb::SetAudio && !m_cmd.volume)
            return MCIERR_MISSING_PARAMETER;
        return 0;
    }

private:
    MCIERROR flag(bool& target)
    {
        if (target)
            return MCIERR_DUPLICATE_FLAGS;
        target = true;
        return 0;
    }

    MCIERROR stringArgument(std::optional<std::string>& target)
    {
        if (target)
            return MCIERR_DUPLICATE_FLAGS;
        if (m_next >= m_words.size() || m_words[m_next].empty())
            return MCIERR_MISSING_STRING_ARGUMENT;
        target = m_words[m_next++];
        return 0;
    }

    MCIERROR integerArgument(std::optional<std::uint32_t>& target)
    {
        if (target)
            return MCIERR_DUPLICATE_FLAGS;
        if (m_next >= m_words.size())
            return MCIERR_MISSING_PARAMETER;
        const auto value = parseInteger(m_words[m_next++]);
        if (!value)
            return MCIERR_BAD_INTEGER;
        target = value;
        return 0;
    }

    MCIERROR seekTarget()
    {
        if (m_cmd.seekTarget)
            return MCIERR_DUPLICATE_FLAGS;
        if (m_next >= m_words.size())
            return MCIERR_MISSING_PARAMETER;
        const std::string& word = m_words[m_next++];
        if (sameWord(word, "start")) {
            m_cmd.seekTarget = SeekTarget::Start;
        } else if (sameWord(word, "end")) {
            m_cmd.seekTarget = SeekTarget::End;
        } else {
            const auto value = parseInteger(word);
            if (!value)
                return MCIERR_BAD_INTEGER;
            m_cmd.seekTarget = SeekTarget::Position;
            m_cmd.seekMs = *value;
        }
        return 0;
    }

    // "volume to N": the only audio setting there is.
    MCIERROR volumeTo()
    {
        if (m_cmd.volume)
            return MCIERR_DUPLICATE_FLAGS;
        if (m_next >= m_words.size() || !sameWord(m_words[m_next], "to"))
            return MCIERR_MISSING_PARAMETER;
        ++m_next;
        return integerArgument(m_cmd.volume);
    }

    MCIERROR keyword(const std::string& word)
    {
        if (sameWord(word, "notify"))
            return flag(m_cmd.notify);
        if (sameWord(word, "wait"))
            return flag(m_cmd.wait);

        switch (m_cmd.verb) {
        case MciVerb::Open:
            if (sameWord(word, "type"))
                return stringArgument(m_cmd.type);
            if (sameWord(word, "alias"))
                return stringArgument(m_cmd.alias);
            if (sameWord(word, "shareable"))
                return flag(m_cmd.shareable);
            break;
        case MciVerb::Play:
            if (sameWord(word, "from"))
                return integerArgument(m_cmd.fromMs);
            if (sameWord(word, "to"))
                return integerArgument(m_cmd.toMs);
            break;
        case MciVerb::Seek:
            if (sameWord(word, "to"))
                return seekTarget();
            break;
        case MciVerb::Status:
            if (const auto item = statusItemOf(word)) {
                if (m_cmd.statusItem)
                    return *m_cmd.statusItem == *item ? MCIERR_DUPLICATE_FLAGS : MCIERR_FLAGS_NOT_COMPATIBLE;
                m_cmd.statusItem = item;
                return 0;
            }
            break;
        case MciVerb::SetAudio:
            if (sameWord(word, "volume"))
                return volumeTo();
            break;
        case MciVerb::Info:
            if (const auto item = infoItemOf(word)) {
                if (m_cmd.infoItem)
                    return *m_cmd.infoItem == *item ? MCIERR_DUPLICATE_FLAGS : MCIERR_FLAGS_NOT_COMPATIBLE;
                m_cmd.infoItem = item;
                return 0;
            }
            break;
        case MciVerb::Stop:
        case MciVerb::Pause:
        case MciVerb::Resume:
        case MciVerb::Close:
            break;
        }
        return MCIERR_UNRECOGNIZED_KEYWORD;
    }

    const std::vector<std::string>& m_words;
    ParsedCommand& m_cmd;
    std::size_t m_next = 2;
};

} // namespace

MciParseResult parseMciCommand(std::string_view command)
{
    MciParseResult result;
    std::vector<std::string> words;
    if (const MCIERROR error = tokenize(command, words); error != 0) {
        result.error = error;
        return result;
    }
    if (words.empty()) {
        result.error = MCIERR_MISSING_COMMAND_STRING;
        return result;
    }
    const auto verb = verbOf(words[0]);
    if (!verb) {
        result.error = MCIERR_UNRECOGNIZED_COMMAND;
        return result;
    }
    ParsedCommand& cmd = result.command;
    cmd.verb = *verb;
    if (words.size() < 2 || words[1].empty()) {
        result.error = MCIERR_MISSING_DEVICE_NAME;
        return result;
    }
    cmd.device = words[1];
    cmd.all = cmd.verb != MciVerb::Open && sameWord(cmd.device, "all");
    result.error = KeywordParser(words, cmd).run();
    return result;
}

} // namespace qb::mci
