#include "tools/loop/fft.h"

#include <fftw3.h>

#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

namespace halvern::tools {

namespace {

// FFTW's planner keeps global state of its own: making and destroying plans is serialised here.
std::mutex& planner_lock() {
  static std::mutex lock;
  return lock;
}

void check_aligned(const void* p) {
  if (fftw_alignment_of(static_cast<double*>(const_cast<void*>(p))) != 0) {
    throw std::invalid_argument("RealFft: an array not from FftArray");
  }
}

}  // namespace

template <typename T>
FftArray<T>::FftArray(size_t n) : size_(n) {
  if (n == 0) return;
  data_ = static_cast<T*>(fftw_malloc(n * sizeof(T)));
  if (data_ == nullptr) throw std::bad_alloc();
  std::memset(static_cast<void*>(data_), 0, n * sizeof(T));
}

template <typename T>
FftArray<T>::~FftArray() {
  if (data_ != nullptr) fftw_free(data_);
}

template <typename T>
FftArray<T>::FftArray(FftArray&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

template <typename T>
FftArray<T>& FftArray<T>::operator=(FftArray&& other) noexcept {
  if (this != &other) {
    if (data_ != nullptr) fftw_free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

template class FftArray<double>;
template class FftArray<std::complex<double>>;

RealFft::RealFft(size_t n) : n_(n) {
  if (n < 2 || n % 2 != 0 || n > (size_t{1} << 30)) {
    throw std::invalid_argument("RealFft: the size must be even, from 2 to 2^30");
  }
  FftArray<double> samples(n);
  FftArray<std::complex<double>> spectrum(bins());
  auto* bins_in = reinterpret_cast<fftw_complex*>(spectrum.data());
  const std::lock_guard<std::mutex> hold(planner_lock());
  forward_ = fftw_plan_dft_r2c_1d(static_cast<int>(n), samples.data(), bins_in, FFTW_ESTIMATE);
  inverse_ = fftw_plan_dft_c2r_1d(static_cast<int>(n), bins_in, samples.data(), FFTW_ESTIMATE);
  if (forward_ == nullptr || inverse_ == nullptr) {
    if (forward_ != nullptr) fftw_destroy_plan(forward_);
    if (inverse_ != nullptr) fftw_destroy_plan(inverse_);
    throw std::runtime_error("FFTW cannot plan a transform of " + std::to_string(n) + " points");
  }
}

RealFft::~RealFft() {
  const std::lock_guard<std::mutex> hold(planner_lock());
  fftw_destroy_plan(forward_);
  fftw_destroy_plan(inverse_);
}

void RealFft::forward(const double* in, std::complex<double>* out) const {
  check_aligned(in);
  check_aligned(out);
  fftw_execute_dft_r2c(forward_, const_cast<double*>(in), reinterpret_cast<fftw_complex*>(out));
}

void RealFft::inverse(std::complex<double>* in, double* out) const {
  check_aligned(in);
  check_aligned(out);
  fftw_execute_dft_c2r(inverse_, reinterpret_cast<fftw_complex*>(in), out);
}

}  // namespace halvern::tools
