// The process-wide worker pool: fork-join parallel loops over index ranges.
//
// Loops are split into chunks that idle workers claim one after another, so a
// loop balances itself across however many workers exist. A worker that waits
// for a nested loop claims chunks of that loop itself, so nesting never
// deadlocks. A fault (any C++ exception) thrown by a chunk stops the loop:
// chunks not yet started are skipped, and once every started chunk has
// finished the first fault is rethrown on the thread that started the loop.
//
// Determinism is the callers' side of the contract: chunks write disjoint
// ranges or private partial results, which the caller merges in index order,
// so results never depend on the pool size or on scheduling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pool {

// The pool's size for a given environment: RAYON_NUM_THREADS, then
// RAYON_RS_NUM_CPUS, then the processors available to the process, capped at
// 65535. `getenv` is a parameter so that the rule can be tested on its own.
std::size_t size_from_environment(const char* (*getenv_fn)(const char*),
                                  std::size_t processors);
std::size_t available_processors();

// The operating system refused to start a worker thread (thread, process or
// memory limits) while the first parallel loop created the pool with its
// default size. The pool then gave back every thread it had started and runs
// with `workers()` workers instead (possibly none: the calling thread then
// runs every loop alone), so later loops work; the loop that met the refusal
// did not run.
class StartFailure : public std::runtime_error {
public:
    StartFailure(const std::string& what, int error, std::size_t workers)
        : std::runtime_error(what), error_(error), workers_(workers) {}
    int error() const { return error_; }  // the errno of the refusal
    std::size_t workers() const { return workers_; }

private:
    int error_;
    std::size_t workers_;
};

// Creates the pool with n workers (0: the default size) unless it exists and
// waits until every worker is ready. Returns false when the pool could not be
// created: every thread it started is given back and it stays absent (the
// first parallel loop then creates it with the default size). Never throws.
bool start(std::size_t n);

// Number of threads that run a loop's chunks (the workers, at least 1),
// creating the pool with the default size if need be.
std::size_t size();

// Runs body(begin, end) over [0, n) in chunks of at most `grain` indices
// (grain 0 is taken as 1). Blocks until every chunk has finished. A loop of
// one chunk, or any loop on a pool of one worker, runs on the calling thread.
void parallel_for(std::size_t n, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body);

// Runs body(i) for every i in [0, n), one index per chunk.
inline void parallel_each(std::size_t n, const std::function<void(std::size_t)>& body) {
    parallel_for(n, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) body(i);
    });
}

// Runs body(i) for every i in [0, n), one index per chunk, where a fault
// stops only its own index: once every index has finished, the fault of the
// lowest index is rethrown. Which fault a loop reports is then the first in
// index order, whatever the pool size or the scheduling.
inline void parallel_each_lowest_fault(std::size_t n, const std::function<void(std::size_t)>& body) {
    std::vector<std::exception_ptr> faults(n);
    parallel_each(n, [&](std::size_t i) {
        try {
            body(i);
        } catch (...) {
            faults[i] = std::current_exception();
        }
    });
    for (auto& f : faults)
        if (f) std::rethrow_exception(f);
}

// Index-ordered parallel map: slot i of the result holds fn(i), whatever
// worker computed it.
template <class T, class F>
std::vector<T> parallel_map(std::size_t n, F&& fn) {
    std::vector<std::optional<T>> slots(n);
    parallel_each(n, [&](std::size_t i) { slots[i].emplace(fn(i)); });
    std::vector<T> out;
    out.reserve(n);
    for (auto& s : slots) out.push_back(std::move(*s));
    return out;
}

}  // namespace pool
