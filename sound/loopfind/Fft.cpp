#include "Fft.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace qb::loopfind {

namespace {

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
        fftwf_destroy_plan(plan);
    }
}

} // namespace

template <typename T>
FftwBuffer<T>::FftwBuffer(std::size_t count)
    : m_data(static_cast<T*>(fftwf_malloc(sizeof(T) * std::max<std::size_t>(count, 1)))), m_count(count)
{
    if (!m_data)
        throw std::bad_alloc();
    std::fill_n(reinterpret_cast<float*>(m_data), sizeof(T) / sizeof(float) * count, 0.0f);
}

template <typename T> FftwBuffer<T>::~FftwBuffer()
{
    fftwf_free(m_data);
}

template class FftwBuffer<float>;
template class FftwBuffer<fftwf_complex>;

PowerSpectrum::PowerSpectrum(int size)
    : m_size(size), m_in(std::size_t(size)), m_out(std::size_t(size / 2 + 1))
{
    std::lock_guard guard(plannerLock());
    m_plan = fftwf_plan_dft_r2c_1d(size, m_in.data(), m_out.data(), kPlanFlags);
    if (!m_plan)
        throw std::bad_alloc();
}

PowerSpectrum::~PowerSpectrum()
{
    destroy(m_plan);
}

void PowerSpectrum::run(float* power)
{
    fftwf_execute(m_plan);
    for (int k = 0; k <= m_size / 2; ++k)
        power[k] = m_out[std::size_t(k)][0] * m_out[std::size_t(k)][0] +
                   m_out[std::size_t(k)][1] * m_out[std::size_t(k)][1];
}

CrossCorrelation::CrossCorrelation(int size)
    : m_size(size), m_a(std::size_t(size)), m_b(std::size_t(size)), m_fa(std::size_t(size / 2 + 1)),
      m_fb(std::size_t(size / 2 + 1))
{
    std::lock_guard guard(plannerLock());
    m_forwardA = fftwf_plan_dft_r2c_1d(size, m_a.data(), m_fa.data(), kPlanFlags);
    m_forwardB = fftwf_plan_dft_r2c_1d(size, m_b.data(), m_fb.data(), kPlanFlags);
    m_inverse = fftwf_plan_dft_c2r_1d(size, m_fa.data(), m_a.data(), kPlanFlags);
    if (!m_forwardA || !m_forwardB || !m_inverse) {
        for (fftwf_plan plan : {m_forwardA, m_forwardB, m_inverse})
            if (plan)
                fftwf_destroy_plan(plan);
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
    fftwf_execute(m_forwardA);
    fftwf_execute(m_forwardB);
    // conj(A) * B gives sum_i a[i] b[i + j] at j.
    for (int k = 0; k <= m_size / 2; ++k) {
        const float ar = m_fa[std::size_t(k)][0], ai = m_fa[std::size_t(k)][1];
        const float br = m_fb[std::size_t(k)][0], bi = m_fb[std::size_t(k)][1];
        m_fa[std::size_t(k)][0] = ar * br + ai * bi;
        m_fa[std::size_t(k)][1] = ar * bi - ai * br;
    }
    fftwf_execute(m_inverse);
    for (int j = 0; j < lags; ++j)
        out[j] = double(m_a[std::size_t(j)]) / m_size;
}

} // namespace qb::loopfind
