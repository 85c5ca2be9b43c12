#pragma once

#include "Libraries.h"
#include "sound/decode/Decoder.h"

#include <memory>
#include <soxr.h>

namespace qb::audio {

// One libsoxr stream converting interleaved stereo float from `inputRate` to `outputRate` at "HQ"
// quality (20-bit: passband to 91 % of the lower Nyquist frequency, 120 dB stop band), on the calling
// thread only. Output frame k of a fresh or cleared stream is the band-limited value at input time
// k * inputRate / outputRate: the filter's delay is already taken out, and the output does not depend
// on how the input is cut into calls. Null when libsoxr refuses the rates (or is out of memory), or
// cannot be loaded.
struct SoxrDelete
{
    void operator()(soxr_t soxr) const { soxrCalls()->soxr_delete(soxr); }
};
using SoxrStream = std::unique_ptr<soxr, SoxrDelete>;

inline SoxrStream makeSoxrStream(double inputRate, double outputRate)
{
    const SoxrCalls* lib = soxrCalls();
    if (!lib)
        return nullptr;
    const soxr_io_spec_t io = lib->soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = lib->soxr_quality_spec(SOXR_HQ, 0);
    // One thread: the feeder thread is the only one decoding, and a second core would only be borrowed
    // from whatever the user is running beside the music.
    const soxr_runtime_spec_t runtime = lib->soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_t soxr = lib->soxr_create(inputRate, outputRate, kChannels, &error, &io, &quality, &runtime);
    if (error) {
        lib->soxr_delete(soxr);
        return nullptr;
    }
    return SoxrStream(soxr);
}

} // namespace qb::audio
