// The pool of threads of a batch: each thread takes the next job until none is left, the jobs
// with the longest inputs first, so that the last jobs to finish are short ones and no thread
// idles long at the end while another works.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "tools/batch/batch_plan.h"

namespace halvern::tools {

// The positions of the jobs, longest input first (by file size; an input that cannot be sized
// counts as empty), jobs of equal size in plan order.
std::vector<size_t> longest_input_first(const std::vector<BatchJob>& jobs);

// Calls work(position) once for each position of `order`, in that order, on `threads` threads
// (the caller's among them; at least one, at most one per position). keep_going is asked before
// each position is taken: false leaves the rest untaken. The first exception thrown by work stops
// the taking and is thrown again once every thread has ended.
void run_pool(
    const std::vector<size_t>& order, unsigned threads, const std::function<void(size_t)>& work,
    const std::function<bool()>& keep_going = [] { return true; });

}  // namespace halvern::tools
