// Worker pool: one mutex guards the job list and every job's counters, so a
// job can never be freed while a worker still looks at it (the starter waits
// on that mutex for its last chunk). Chunks are coarse (a shard, a row chunk,
// a table group), so one lock round per chunk costs nothing measurable.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <mutex>
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
    std::size_t next = 0;      // next chunk to hand out
    std::size_t finished = 0;  // chunks run (or skipped after a fault)
    bool failed = false;
    std::exception_ptr error;  // the first fault
};

struct Pool {
    std::mutex m;
    std::condition_variable work_cv;  // a job was added, or stop
    std::condition_variable done_cv;  // a job finished, or a worker became ready
    std::vector<Job*> jobs;           // jobs with chunks left to hand out
    std::vector<std::thread> threads;
    std::size_t ready = 0;
    bool stop = false;
};

Pool* g_pool = nullptr;         // absent until the first start(); leaked, never joined
std::mutex g_create;            // serialises creation; held across fork()
thread_local Pool* t_member = nullptr;  // the pool this thread works for

// Hands out the next chunk of `job`; the caller holds p.m. Returns false when
// every chunk has been handed out.
bool claim(Pool& p, Job& job, std::size_t& chunk) {
    if (job.next >= job.chunks) return false;
    chunk = job.next++;
    if (job.next == job.chunks) {
        auto it = std::find(p.jobs.begin(), p.jobs.end(), &job);
        if (it != p.jobs.end()) p.jobs.erase(it);
    }
    return true;
}

// Runs one chunk without the lock, then records it under the lock. After the
// last chunk is recorded the starter may return and free the job, so nothing
// touches `job` after the unlock below.
void run_chunk(Pool& p, Job& job, std::size_t chunk, std::unique_lock<std::mutex>& lk) {
    bool skip = job.failed;
    lk.unlock();
    std::exception_ptr err;
    if (!skip) {
        std::size_t b = chunk * job.grain;
        std::size_t e = std::min(job.n, b + job.grain);
        try {
            (*job.body)(b, e);
        } catch (...) {
            err = std::current_exception();
        }
    }
    lk.lock();
    if (err && !job.failed) {
        // a fault stops the loop: chunks not yet handed out are dropped
        job.failed = true;
        job.error = err;
        if (job.next < job.chunks) {
            job.finished += job.chunks - job.next;
            job.next = job.chunks;
            auto it = std::find(p.jobs.begin(), p.jobs.end(), &job);
            if (it != p.jobs.end()) p.jobs.erase(it);
        }
    }
    if (++job.finished == job.chunks) p.done_cv.notify_all();
}

void worker_main(Pool* p) {
    t_member = p;
    std::unique_lock<std::mutex> lk(p->m);
    ++p->ready;
    p->done_cv.notify_all();
    for (;;) {
        p->work_cv.wait(lk, [&] { return p->stop || !p->jobs.empty(); });
        if (p->stop) return;
        Job& job = *p->jobs.back();  // newest first: nested loops finish their parents sooner
        std::size_t chunk;
        if (claim(*p, job, chunk)) run_chunk(*p, job, chunk, lk);
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

Pool* create(std::size_t n) {
    static bool fork_handler = false;
    if (!fork_handler) {
        pthread_atfork([] { g_create.lock(); }, [] { g_create.unlock(); }, after_fork_child);
        fork_handler = true;
    }
    if (n == 0) n = size_from_environment(real_getenv, available_processors());
    n = std::min(n, kMaxWorkers);
    auto* p = new Pool();
    try {
        p->threads.reserve(n);
        for (std::size_t i = 0; i < n; ++i) p->threads.emplace_back(worker_main, p);
    } catch (...) {
        {
            std::lock_guard<std::mutex> lk(p->m);
            p->stop = true;
        }
        p->work_cv.notify_all();
        for (auto& t : p->threads) t.join();
        delete p;
        return nullptr;
    }
    std::unique_lock<std::mutex> lk(p->m);
    p->done_cv.wait(lk, [&] { return p->ready == n; });
    return p;
}

Pool& get() {
    std::lock_guard<std::mutex> lk(g_create);
    if (!g_pool) {
        g_pool = create(0);
        if (!g_pool) throw std::runtime_error("the worker pool could not be created");
    }
    return *g_pool;
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
    g_pool = create(n);
    return g_pool != nullptr;
}

std::size_t size() { return get().threads.size(); }

void parallel_for(std::size_t n, std::size_t grain,
                  const std::function<void(std::size_t, std::size_t)>& body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    Pool& p = get();
    const std::size_t chunks = (n + grain - 1) / grain;
    if (chunks == 1 || p.threads.size() == 1) {
        // Nothing to share out: one chunk, or one worker that the caller would
        // only wake and then wait for. The caller runs the chunks itself, in
        // index order; a fault stops the loop at the chunk that raised it.
        for (std::size_t b = 0; b < n; b += grain) body(b, std::min(n, b + grain));
        return;
    }
    Job job{&body, n, grain, chunks, 0, 0, false, nullptr};
    bool member = (t_member == &p);
    std::unique_lock<std::mutex> lk(p.m);
    p.jobs.push_back(&job);
    p.work_cv.notify_all();
    if (member) {
        // A worker waiting for its own nested loop works on it meanwhile. Its
        // other chunks are held by threads that are running them, so the wait
        // below always ends.
        std::size_t chunk;
        while (claim(p, job, chunk)) run_chunk(p, job, chunk, lk);
    }
    p.done_cv.wait(lk, [&] { return job.finished == job.chunks; });
    // every chunk was handed out, so the job has already left p.jobs
    if (job.error) {
        lk.unlock();
        std::rethrow_exception(job.error);
    }
}

}  // namespace pool
