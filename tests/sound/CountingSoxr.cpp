// A stand-in for libsoxr that counts the resamplers set up and hands every call on to the real library.
// Its soname is libsoxr's: once a test has loaded it, the decoders' load of "libsoxr.so.0" finds it, as
// the dynamic linker takes an object already loaded under the name asked for.
#include <atomic>
#include <cstdint>
#include <dlfcn.h>
#include <soxr.h>

namespace {

std::atomic<std::int64_t> g_setups{0};

// The real library's `name`, loaded by its path (which no object loaded under the soname matches).
template <typename Function> Function real(const char* name)
{
    static void* const library = ::dlopen(QB_REAL_SOXR, RTLD_NOW | RTLD_LOCAL);
    return library ? reinterpret_cast<Function>(::dlsym(library, name)) : nullptr;
}

} // namespace

extern "C" {

std::int64_t qb_test_resampler_setups()
{
    return g_setups.load(std::memory_order_relaxed);
}

soxr_t soxr_create(double inputRate, double outputRate, unsigned channels, soxr_error_t* error,
                   const soxr_io_spec_t* io, const soxr_quality_spec_t* quality,
                   const soxr_runtime_spec_t* runtime)
{
    static const auto create = real<decltype(&::soxr_create)>("soxr_create");
    g_setups.fetch_add(1, std::memory_order_relaxed);
    return create(inputRate, outputRate, channels, error, io, quality, runtime);
}

soxr_error_t soxr_process(soxr_t resampler, soxr_in_t in, size_t inLength, size_t* inUsed, soxr_out_t out,
                          size_t outLength, size_t* outMade)
{
    static const auto process = real<decltype(&::soxr_process)>("soxr_process");
    return process(resampler, in, inLength, inUsed, out, outLength, outMade);
}

soxr_error_t soxr_clear(soxr_t resampler)
{
    static const auto clear = real<decltype(&::soxr_clear)>("soxr_clear");
    return clear(resampler);
}

void soxr_delete(soxr_t resampler)
{
    static const auto remove = real<decltype(&::soxr_delete)>("soxr_delete");
    remove(resampler);
}

soxr_io_spec_t soxr_io_spec(soxr_datatype_t input, soxr_datatype_t output)
{
    static const auto make = real<decltype(&::soxr_io_spec)>("soxr_io_spec");
    return make(input, output);
}

soxr_quality_spec_t soxr_quality_spec(unsigned long recipe, unsigned long flags)
{
    static const auto make = real<decltype(&::soxr_quality_spec)>("soxr_quality_spec");
    return make(recipe, flags);
}

soxr_runtime_spec_t soxr_runtime_spec(unsigned threads)
{
    static const auto make = real<decltype(&::soxr_runtime_spec)>("soxr_runtime_spec");
    return make(threads);
}

} // extern "C"
