#include "sound/decode/Decoder.h"

#include "sound/decode/Decoders.h"

#include <algorithm>

namespace qb::audio {

void Decoder::renderTail(float* out, int frames)
{
    std::fill_n(out, static_cast<std::size_t>(frames) * kChannels, 0.0f);
}

} // namespace qb::audio
