#pragma once

#include <cstddef>
#include <fftw3.h>

namespace qb::loopfind {

// A single-precision FFTW buffer, aligned as FFTW's SIMD code wants it.
template <typename T> class FftwBuffer
{
public:
    explicit FftwBuffer(std::size_t count);
    ~FftwBuffer();
    FftwBuffer(const FftwBuffer&) = delete;
    FftwBuffer& operator=(const FftwBuffer&) = delete;

    T* data() const { return m_data; }
    T& operator[](std::size_t i) const { return m_data[i]; }
    std::size_t size() const { return m_count; }

private:
    T* m_data;
    std::size_t m_count;
};

// The power spectrum of one real block of `size` samples: bins 0..size/2.
class PowerSpectrum
{
public:
    explicit PowerSpectrum(int size);
    ~PowerSpectrum();
    PowerSpectrum(const PowerSpectrum&) = delete;
    PowerSpectrum& operator=(const PowerSpectrum&) = delete;

    int size() const { return m_size; }
    float* input() const { return m_in.data(); }
    // Transforms input() (which it may overwrite) and writes |X[k]|^2 for k = 0..size/2 to `power`.
    void run(float* power);

private:
    int m_size;
    FftwBuffer<float> m_in;
    FftwBuffer<fftwf_complex> m_out;
    fftwf_plan m_plan;
};

// Cross-correlation of a short block against a longer one by transforms of `size` samples:
// c[j] = sum_i a[i] * b[i + j] for j = 0 .. size - aLength, the caller keeping aLength + bLength <= size
// + 1 so that no product wraps around.
class CrossCorrelation
{
public:
    explicit CrossCorrelation(int size);
    ~CrossCorrelation();
    CrossCorrelation(const CrossCorrelation&) = delete;
    CrossCorrelation& operator=(const CrossCorrelation&) = delete;

    int size() const { return m_size; }
    // Writes c[0 .. lags) to `out`. `a` holds aLength samples, `b` bLength.
    void run(const float* a, int aLength, const float* b, int bLength, int lags, double* out);

private:
    int m_size;
    FftwBuffer<float> m_a, m_b;
    FftwBuffer<fftwf_complex> m_fa, m_fb;
    fftwf_plan m_forwardA, m_forwardB, m_inverse;
};

} // namespace qb::loopfind
