#include "Fft.h"

#include "posix/SharedLibrary.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

namespace qb::loopfind {

namespace {

// libfftw3f, loaded by the first transform: only a search for a loop needs it, and a file that is not
// searched never maps it. Bound by name with FFTW's own declarations.
struct FftwCalls
{
    decltype(&::fftwf_malloc) fftwf_malloc = nullptr;
    decltype(&::fftwf_free) fftwf_free = nullptr;
    decltype(&::fftwf_plan_dft_r2c_1d) fftwf_plan_dft_r2c_1d = nullptr;
    decltype(&::fftwf_plan_dft_c2r_1d) fftwf_plan_dft_c2r_1d = nullptr;
    decltype(&::fftwf_execute) fftwf_execute = nullptr;
    decltype(&::fftwf_destroy_plan) fftwf_destroy_plan = nullptr;
};

// Throws std::runtime_error when the library cannot be loaded: the search fails, and says so.
const FftwCalls& fftw()
{
    static const posix::BoundLibrary<FftwCalls> bound(
        "libfftw3f.so.3", [](posix::SharedLibrary& lib, FftwCalls& c) {
            return lib.bind(c.fftwf_malloc, "fftwf_malloc") && lib.bind(c.fftwf_free, "fftwf_free") &&
                   lib.bind(c.fftwf_plan_dft_r2c_1d, "fftwf_plan_dft_r2c_1d") &&
                   lib.bind(c.fftwf_plan_dft_c2r_1d, "fftwf_plan_dft_c2r_1d") &&
                   lib.bind(c.fftwf_execute, "fftwf_execute") &&
                   lib.bind(c.fftwf_destroy_plan, "fftwf_destroy_plan");
        });
    if (const FftwCalls* calls = bound.calls())
        return *calls;
    std::string why;
    bound.calls(&why);
    throw std::runtime_error(why);
}

// FFTW's planner keeps global tables and is not thread-safe; executing a plan is.
std::mutex& plannerLock()
{
    static std::mutex lock;
    return lock;
}

// Plans are made with FFTW_ESTIMATE: measuring would take longer than the few transforms a search
// runs of each size, and would make the result depend on the machine's load.
constexpr unsigned kPlanFlags = FFTW_ESTIMATE | FFTW_DESTROY_INPUT;

void destroy(fftwf_plan plan)
{
    if (plan) {
        std::lock_guard guard(plannerLock());
        fftw().fftwf_destroy_plan(plan);
    }
}

} // namespace

template <typename T>
FftwBuffer<T>::FftwBuffer(std::size_t count)
    : m_data(static_cast<T*>(fftw().fftwf_malloc(sizeof(T) * std::max<std::size_t>(count, 1)))),
      m_count(count)
{
    if (!m_data)
        throw std::bad_alloc();
    std::fill_n(reinterpret_cast<float*>(m_data), sizeof(T) / sizeof(float) * count, 0.0f);
}

template <typename T> FftwBuffer<T>::~FftwBuffer()
{
    fftw().fftwf_free(m_data);
}

template class FftwBuffer<float>;
template class FftwBuffer<fftwf_complex>;

PowerSpectrum::PowerSpectrum(int size)
    : m_size(size), m_in(std::size_t(size)), m_out(std::size_t(size / 2 + 1))
{
    std::lock_guard guard(plannerLock());
    m_plan = fftw().fftwf_plan_dft_r2c_1d(size, m_in.data(), m_out.data(), kPlanFlags);
    if (!m_plan)
        throw std::bad_alloc();
}

PowerSpectrum::~PowerSpectrum()
{
    destroy(m_plan);
}

void PowerSpectrum::run(float* power)
{
    fftw().fftwf_execute(m_plan);
    for (int k = 0; k <= m_size / 2; ++k)
        power[k] = m_out[std::size_t(k)][0] * m_out[std::size_t(k)][0] +
                   m_out[std::size_t(k)][1] * m_out[std::size_t(k)][1];
}

CrossCorrelation::CrossCorrelation(int size)
    : m_size(size), m_a(std::size_t(size)), m_b(std::size_t(size)), m_fa(std::size_t(size / 2 + 1)),
      m_fb(std::size_t(size / 2 + 1))
{
    std::lock_guard guard(plannerLock());
    m_forwardA = fftw().fftwf_plan_dft_r2c_1d(size, m_a.data(), m_fa.data(), kPlanFlags);
    m_forwardB = fftw().fftwf_plan_dft_r2c_1d(size, m_b.data(), m_fb.data(), kPlanFlags);
    m_inverse = fftw().fftwf_plan_dft_c2r_1d(size, m_fa.data(), m_a.data(), kPlanFlags);
    if (!m_forwardA || !m_forwardB || !m_inverse) {
        for (fftwf_plan plan : {m_forwardA, m_forwardB, m_inverse})
            if (plan)
                fftw().fftwf_destroy_plan(plan);
        throw std::bad_alloc();
    }
}

CrossCorrelation::~CrossCorrelation()
{
    destroy(m_forwardA);
    destroy(m_forwardB);
    destroy(m_inverse);
}

void CrossCorrelation::run(const float* a, int aLength, const float* b, int bLength, int lags, double* out)
{
    std::fill_n(std::copy_n(a, aLength, m_a.data()), m_size - aLength, 0.0f);
    std::fill_n(std::copy_n(b, bLength, m_b.data()), m_size - bLength, 0.0f);
    fftw().fftwf_execute(m_forwardA);
    fftw().fftwf_execute(m_forwardB);
    // conj(A) * B gives sum_i a[i] b[i + j] at j.
    for (int k = 0; k <= m_size / 2; ++k) {
        const float ar = m_fa[std::size_t(k)][0], ai = m_fa[std::size_t(k)][1];
        const float br = m_fb[std::size_t(k)][0], bi = m_fb[std::size_t(k)][1];
        m_fa[std::size_t(k)][0] = ar * br + ai * bi;
        m_fa[std::size_t(k)][1] = ar * bi - ai * br;
    }
    fftw().fftwf_execute(m_inverse);
    for (int j = 0; j < lags; ++j)
        out[j] = double(m_a[std::size_t(j)]) / m_size;
}

} // namespace qb::loopfind
