// Real FFTs of one size through FFTW, in double precision. The plans are made once, with
// FFTW_ESTIMATE (the same algorithm on every run, so the same bits for the same input), under one
// lock, since FFTW's planner is not thread-safe. A RealFft may then be used by any number of
// threads at once, each with its own arrays (FFTW's new-array execute functions).
#pragma once

#include <complex>
#include <cstddef>

struct fftw_plan_s;

namespace halvern::tools {

// An array of n values aligned for FFTW's SIMD code (fftw_malloc), zero-filled.
template <typename T>
class FftArray {
 public:
  FftArray() = default;
  explicit FftArray(size_t n);
  ~FftArray();
  FftArray(FftArray&& other) noexcept;
  FftArray& operator=(FftArray&& other) noexcept;
  FftArray(const FftArray&) = delete;
  FftArray& operator=(const FftArray&) = delete;

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
  size_t size_ = 0;
};

extern template class FftArray<double>;
extern template class FftArray<std::complex<double>>;

class RealFft {
 public:
  // n even, at least 2. Throws std::invalid_argument for another n, std::runtime_error when
  // FFTW cannot plan it.
  explicit RealFft(size_t n);
  ~RealFft();
  RealFft(const RealFft&) = delete;
  RealFft& operator=(const RealFft&) = delete;

  size_t size() const { return n_; }
  size_t bins() const { return n_ / 2 + 1; }

  // Bins 0 to n/2 of the unnormalised transform of n samples. Both arrays come from FftArray.
  void forward(const double* in, std::complex<double>* out) const;
  // n samples from n/2 + 1 bins, unnormalised (forward then inverse multiplies by n). The bins are
  // overwritten (FFTW works in them). Both arrays come from FftArray.
  void inverse(std::complex<double>* in, double* out) const;

 private:
  size_t n_;
  fftw_plan_s* forward_ = nullptr;
  fftw_plan_s* inverse_ = nullptr;
};

}  // namespace halvern::tools
