#include "tools/batch/job_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <mutex>
#include <thread>

namespace halvern::tools {

std::vector<size_t> longest_input_first(const std::vector<BatchJob>& jobs) {
  std::vector<size_t> order(jobs.size());
  std::vector<uintmax_t> sizes(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) {
    std::error_code error;
    order[i] = i;
    sizes[i] = std::filesystem::file_size(jobs[i].input, error);
    if (error) sizes[i] = 0;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
  return order;
}

void run_pool(const std::vector<size_t>& order, unsigned threads,
              const std::function<void(size_t)>& work, const std::function<bool()>& keep_going) {
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::exception_ptr first_error;
  const auto worker = [&] {
    for (size_t n = next++; n < order.size() && !stop && keep_going(); n = next++) {
      try {
        work(order[n]);
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!first_error) first_error = std::current_exception();
        stop = true;
      }
    }
  };
  const size_t wanted = std::min<size_t>(std::max(1u, threads), std::max<size_t>(1, order.size()));
  {
    std::vector<std::jthread> pool;
    for (size_t t = 1; t < wanted; ++t) pool.emplace_back(worker);
    worker();
  }
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace halvern::tools
