// libFuzzer entry point: arbitrary bytes through the MIDI header scan. Beyond the sanitizers'
// findings it traps when the result breaks the record's promises.
#include "media/MidiHeader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const qb::media::MidiHeaderInfo info = qb::media::scanMidiHeader({data, size});
    if (info.Format < 0 || info.TrackCount < 0 || info.Division < 0)
        std::abort();
    // Every decoded character comes from at least one input byte.
    if (info.Title.size() > static_cast<qsizetype>(size))
        std::abort();
    return 0;
}
