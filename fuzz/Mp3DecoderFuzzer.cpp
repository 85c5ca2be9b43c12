// libFuzzer entry point: arbitrary bytes opened as MPEG audio (through libsndfile, as parts joined, or
// through mpg123, as the bytes call for) and rendered for a bounded number of chunks.
#include "DecoderFuzzing.h"
#include "sound/decode/Decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace qb::audio;
    OpenResult opened = openDecoder(fuzzing::writeInput(data, size, ".mp3"));
    fuzzing::check((opened.decoder != nullptr) == (opened.error == OpenError::None));
    if (opened.decoder)
        fuzzing::exercise(*opened.decoder, 4);
    return 0;
}
