// libFuzzer entry point: arbitrary bytes through the MIDI header scan, read both ways. Beyond the sanitizers'
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
    // The title read for showing differs in its text alone.
    const qb::media::MidiHeaderInfo shown =
        qb::media::scanMidiHeader({data, size}, qb::media::TitleText::Readable);
    if (shown.Format != info.Format || shown.TrackCount != info.TrackCount ||
        shown.Division != info.Division || shown.Title.isEmpty() != info.Title.isEmpty() ||
        shown.Title.size() > static_cast<qsizetype>(size))
        std::abort();
    return 0;
}
