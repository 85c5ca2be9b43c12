#include "sound/decode/Decoder.h"

#include "Soxr.h"
#include "sound/decode/Decoders.h"

#include <algorithm>

namespace qb::audio {

void Decoder::renderTail(float* out, int frames)
{
    std::fill_n(out, static_cast<std::size_t>(frames) * kChannels, 0.0f);
}

std::int64_t resamplerSetups()
{
    return soxrStreamsMadeCount.load(std::memory_order_relaxed);
}

} // namespace qb::audio
