// Worker pool: a mutex guards the job list; chunks are handed out and counted
// with atomic counters, so workers that run a loop's chunks back to back do
// not contend on the mutex between chunks. See the lifetime rule below for
// why a job is never touched after its starter may have freed it.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

namespace pool {
namespace {

constexpr std::size_t kMaxWorkers = 65535;  // 2^16 - 1

struct Job {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t n;
    std::size_t grain;
    std::size_t chunks;
    std::atomic<std::size_t> next{0};      // next chunk to hand out (may run past `chunks`)
    std::atomic<std::size_t> finished{0};  // chunks run, or dropped after a fault
    std::atomic<bool> failed{false};
    std::exception_ptr error;  // the first fault; written under the pool's mutex
};

struct Pool {
    std::mutex m;
    std::condition_variable work_cv;  // a job was added, or stop
    std::condition_variable done_cv;  // a job finished, or a worker became ready
    std::vector<Job*> jobs;           // jobs that may have chunks left to hand out
    std::atomic<std::size_t> listed{0};  // jobs.size(), readable without the mutex
    std::vector<std::thread> threads;
    std::size_t ready = 0;
    bool stop = false;
};

Pool* g_pool = nullptr;         // absent until the first start(); leaked, never joined
std::mutex g_create;            // serialises creation; held across fork()
thread_local Pool* t_member = nullptr;  // the pool this thread works for

// Lifetime rule: the starter frees a job as soon as every chunk is counted,
// so a thread touches a job only while it holds a chunk it has not counted
// yet, or under the mutex while the job is still listed. A job leaves the
// list before its last chunk is counted: a thread that finds no chunk left
// retires the job before it counts its own.

// Removes a job from the list; the caller holds p.m.
void unlist(Pool& p, Job& job) {
    auto it = std::find(p.jobs.begin(), p.jobs.end(), &job);
    if (it != p.jobs.end()) {
        p.jobs.erase(it);
        p.listed.store(p.jobs.size(), std::memory_order_release);
    }
}

// Waking a sleeping thread costs tens of microseconds on some machines (more
// than a small loop's whole work), so workers that run out of work, or wait
// for a nested loop of their own, first yield for a short while and watch for
// the condition before they sleep on a condition variable. A caller from
// outside the pool sleeps at once: it would only take a core from a worker.
template <class Cond>
bool spin_until(Cond&& ready) {
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + std::chrono::microseconds(100);
    for (unsigned i = 1;; ++i) {
        if (ready()) return true;
        std::this_thread::yield();
        if (i % 16 == 0 && clock::now() > until) return ready();
    }
}

void retire(Pool& p, Job& job) {
    std::lock_guard<std::mutex> lk(p.m);
    unlist(p, job);
}

void count(Pool& p, Job& job, std::size_t k) {
    if (k == 0) return;
    const std::size_t chunks = job.chunks;  // the job may be gone right after the add
    if (job.finished.fetch_add(k, std::memory_order_acq_rel) + k == chunks) {
        std::lock_guard<std::mutex> lk(p.m);  // the starter checks `finished` under it
        p.done_cv.notify_all();
    }
}

// A fault stops the loop: the first one is kept, and chunks not yet handed
// out are dropped (counted without running).
void record_fault(Pool& p, Job& job, std::exception_ptr err) {
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lk(p.m);
        if (job.failed.load(std::memory_order_relaxed)) return;
        job.error = err;
        job.failed.store(true, std::memory_order_release);
        const std::size_t handed = job.next.exchange(job.chunks, std::memory_order_acq_rel);
        if (handed < job.chunks) dropped = job.chunks - handed;
        unlist(p, job);
    }
    count(p, job, dropped);
}

// Runs `chunk` and then every further chunk of `job` this thread can claim,
// without the mutex. Each chunk is counted only once the next one is claimed
// (or the job retired), so the job outlives every access below.
void drain(Pool& p, Job& job, std::size_t chunk) {
    for (;;) {
        if (!job.failed.load(std::memory_order_acquire)) {
            const std::size_t b = chunk * job.grain;
            const std::size_t e = std::min(job.n, b + job.grain);
            try {
                (*job.body)(b, e);
            } catch (...) {
                record_fault(p, job, std::current_exception());
            }
        }
        const std::size_t more = job.next.fetch_add(1, std::memory_order_acq_rel);
        const bool none_left = more >= job.chunks;
        if (none_left) retire(p, job);
        count(p, job, 1);  // after this, `job` is touched only if `more` is ours
        if (none_left) return;
        chunk = more;
    }
}

// Claims a chunk of a listed job; the caller holds p.m. A job with nothing
// left leaves the list.
bool claim_listed(Pool& p, Job& job, std::size_t& chunk) {
    chunk = job.next.fetch_add(1, std::memory_order_acq_rel);
    if (chunk < job.chunks) return true;
    unlist(p, job);
    return false;
}

void worker_main(Pool* p) {
    t_member = p;
    std::unique_lock<std::mutex> lk(p->m);
    ++p->ready;
    p->done_cv.notify_all();
    for (;;) {
        if (p->jobs.empty() && !p->stop) {
            lk.unlock();
            spin_until([&] { return p->listed.load(std::memory_order_acquire) != 0; });
            lk.lock();
        }
        p->work_cv.wait(lk, [&] { return p->stop || !p->jobs.empty(); });
        if (p->stop) return;
        Job& job = *p->jobs.back();  // newest first: nested loops finish their parents sooner
        std::size_t chunk;
        if (!claim_listed(*p, job, chunk)) continue;
        lk.unlock();
        drain(*p, job, chunk);
        lk.lock();
    }
}

void after_fork_child() {
    // The child has none of the parent's workers: abandon the inherited pool
    // (its memory is leaked, its threads never existed here) and let the next
    // parallel loop build a fresh one.
    g_create.unlock();  // locked by the prepare handler in the forking thread
    g_pool = nullptr;
    t_member = nullptr;
}

// Registered when the library is loaded, before any thread can take
// g_create: registered on first use, a fork between another thread's taking
// the lock and the registration gave a child that inherited the lock held and
// waited on it forever in its first parallel loop.
const int g_fork_handlers = pthread_atfork([] { g_create.lock(); }, [] { g_create.unlock(); }, after_fork_child);

std::size_t parse_size(const char* s, bool& ok) {
    ok = false;
    if (s == nullptr) return 0;
    if (*s == '+') ++s;
    if (*s == '\0') return 0;
    std::size_t v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return 0;
        std::size_t d = static_cast<std::size_t>(*s - '0');
        if (v > (SIZE_MAX - d) / 10) return 0;  // does not fit: not a size
        v = v * 10 + d;
    }
    ok = true;
    return v;
}

const char* real_getenv(const char* name) { return std::getenv(name); }

// Why create() failed: worker `index` (0-based) of `wanted` was refused.
struct Refusal {
    std::size_t index = 0, wanted = 0;
    int error = 0;
};

// Stops and joins the workers started so far and frees the pool.
void dismantle(Pool* p) {
    {
        std::lock_guard<std::mutex> lk(p->m);
        p->stop = true;
    }
    p->work_cv.notify_all();
    for (auto& t : p->threads) t.join();
    delete p;
}

// A pool of n workers, or null when one of them could not be started; then
// every worker already started has been stopped and joined, and `why` says
// which one failed.
Pool* create(std::size_t n, Refusal& why) {
    n = std::min(n, kMaxWorkers);
    why = {0, n, ENOMEM};
    Pool* p = nullptr;
    try {
        p = new Pool();
        p->threads.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            why.index = i;
            p->threads.emplace_back(worker_main, p);
        }
    } catch (const std::system_error& e) {
        why.error = e.code().value();
        if (p) dismantle(p);
        return nullptr;
    } catch (...) {  // std::bad_alloc: no memory for the pool or a thread's state
        why.error = ENOMEM;
        if (p) dismantle(p);
        return nullptr;
    }
    std::unique_lock<std::mutex> lk(p->m);
    p->done_cv.wait(lk, [&] { return p->ready == n; });
    return p;
}

// The pool of the first parallel loop, with the default size. If a worker is
// refused, the pool falls back to one worker per processor, or else to none
// (the calling thread runs every loop alone, which needs no thread at all), and
// the refusal is reported once, to the loop that met it.
Pool& get() {
    std::lock_guard<std::mutex> lk(g_create);
    if (g_pool) return *g_pool;
    const std::size_t wanted = size_from_environment(real_getenv, available_processors());
    Refusal why;
    g_pool = create(wanted, why);
    if (g_pool) return *g_pool;
    Refusal again;
    const std::size_t fallback = std::min(wanted - 1, available_processors());
    if (fallback > 0) g_pool = create(fallback, again);
    if (!g_pool) g_pool = create(0, again);
    if (!g_pool) throw std::bad_alloc();
    const std::size_t workers = g_pool->threads.size();
    throw StartFailure("the worker pool could not start worker thread " + std::to_string(why.index + 1) +
                           " of " + std::to_string(why.wanted) + " (" + std::strerror(why.error) +
                           "); it runs with " + std::to_string(workers) + " worker thread" +
                           (workers == 1 ? "" : "s") + " instead",
                       why.error, workers);
}

}  // namespace

std::size_t available_processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int c = CPU_COUNT(&set);
        if (c > 0) return static_cast<std::size_t>(c);
    }
    unsigned hc = std::thread::hardware_concurrency();
    return hc ? hc : 1;
}

std::size_t size_from_environment(const char* (*getenv_fn)(const char*), std::size_t processors) {
    if (processors == 0) processors = 1;
    bool ok;
    std::size_t v = parse_size(getenv_fn("RAYON_NUM_THREADS"), ok);
    if (ok) return std::min(v > 0 ? v : processors, kMaxWorkers);
    v = parse_size(getenv_fn("RAYON_RS_NUM_CPUS"), ok);
    if (ok && v > 0) return std::min(v, kMaxWorkers);
    return std::min(processors, kMaxWorkers);
}

bool start(std::size_t n) {
    std::lock_guard<std::mutex> lk(g_create);
    if (g_pool) return true;
    if (n == 0) n = size_from_environment(real_getenv, available_processors());
    Refusal why;
    g_pool = create(n, why);
    return g_pool != nullptr;
}

std::size_t size() { return std::max<std::size_t>(1, get().threads.size()); }

void parallel_for(std::size_t n, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    Pool& p = get();
    const std::size_t chunks = (n + grain - 1) / grain;
    if (chunks == 1 || p.threads.size() <= 1) {
        // Nothing to share out: one chunk, or at most one worker, which the
        // caller would only wake and then wait for. The caller runs the chunks
        // itself, in index order; a fault stops the loop at the chunk that
        // raised it.
        for (std::size_t b = 0; b < n; b += grain) body(b, std::min(n, b + grain));
        return;
    }
    Job job;
    job.body = &body;
    job.n = n;
    job.grain = grain;
    job.chunks = chunks;
    const bool member = (t_member == &p);
    std::unique_lock<std::mutex> lk(p.m);
    p.jobs.push_back(&job);
    p.listed.store(p.jobs.size(), std::memory_order_release);
    p.work_cv.notify_all();
    if (member) {
        // A worker waiting for its own nested loop works on it meanwhile. Its
        // other chunks are held by threads that are running them, so the wait
        // below always ends.
        std::size_t chunk;
        if (claim_listed(p, job, chunk)) {
            lk.unlock();
            drain(p, job, chunk);
            lk.lock();
        }
    }
    auto done = [&] { return job.finished.load(std::memory_order_acquire) == job.chunks; };
    if (!done() && member) {
        lk.unlock();
        spin_until(done);
        lk.lock();
    }
    p.done_cv.wait(lk, done);
    // the last chunk was counted after the job left p.jobs
    if (job.error) {
        lk.unlock();
        std::rethrow_exception(job.error);
    }
}

}  // namespace pool
