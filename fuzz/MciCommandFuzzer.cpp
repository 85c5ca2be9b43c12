// libFuzzer entry point: arbitrary text through the MCI command parser. Beyond the sanitizers'
// findings it traps when a parsed command breaks the promises of ParsedCommand.
#include "sound/mci/MciCommand.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const qb::mci::MciParseResult result = qb::mci::parseMciCommand(text);
    if (!result.ok())
        return 0;
    const qb::mci::ParsedCommand& cmd = result.command;
    // Every word of the command comes from the text.
    if (cmd.device.size() > size || (cmd.alias && cmd.alias->size() > size) ||
        (cmd.type && cmd.type->size() > size))
        std::abort();
    if (cmd.verb == qb::mci::MciVerb::Seek && !cmd.seekTarget)
        std::abort();
    if (cmd.verb == qb::mci::MciVerb::Status && !cmd.statusItem)
        std::abort();
    if (cmd.verb == qb::mci::MciVerb::SetAudio && !cmd.volume)
        std::abort();
    if (cmd.verb == qb::mci::MciVerb::Open && cmd.all)
        std::abort();
    return 0;
}
