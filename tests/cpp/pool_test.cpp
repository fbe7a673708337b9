// Tests of the worker pool on its own: size rules, ordered maps, nesting
// without deadlock and faults carried back to the caller. Built and run by
// tests/test_pool.py (also under ThreadSanitizer when asked).
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../../src/pool/pool.hpp"

static int failures = 0;
#define CHECK(cond)                                                  \
    do {                                                             \
        if (!(cond)) {                                               \
            std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                              \
        }                                                            \
    } while (0)

static std::map<std::string, std::string> env;
static const char* fake_getenv(const char* name) {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
}

static std::size_t size_for(std::map<std::string, std::string> e, std::size_t cpus = 8) {
    env = std::move(e);
    return pool::size_from_environment(fake_getenv, cpus);
}

static void size_rules() {
    CHECK(size_for({}) == 8);
    CHECK(size_for({}, 0) == 1);
    CHECK(size_for({{"RAYON_NUM_THREADS", "3"}}) == 3);
    CHECK(size_for({{"RAYON_NUM_THREADS", "+3"}}) == 3);
    CHECK(size_for({{"RAYON_NUM_THREADS", "0"}}) == 8);
    CHECK(size_for({{"RAYON_NUM_THREADS", "0"}, {"RAYON_RS_NUM_CPUS", "5"}}) == 8);
    CHECK(size_for({{"RAYON_NUM_THREADS", "x"}, {"RAYON_RS_NUM_CPUS", "5"}}) == 5);
    CHECK(size_for({{"RAYON_NUM_THREADS", " 3"}, {"RAYON_RS_NUM_CPUS", "5"}}) == 5);
    CHECK(size_for({{"RAYON_NUM_THREADS", "-3"}}) == 8);
    CHECK(size_for({{"RAYON_NUM_THREADS", ""}}) == 8);
    CHECK(size_for({{"RAYON_RS_NUM_CPUS", "0"}}) == 8);
    CHECK(size_for({{"RAYON_RS_NUM_CPUS", "4"}}) == 4);
    CHECK(size_for({{"RAYON_NUM_THREADS", "65535"}}) == 65535);
    CHECK(size_for({{"RAYON_NUM_THREADS", "65536"}}) == 65535);
    CHECK(size_for({{"RAYON_RS_NUM_CPUS", "1000000"}}) == 65535);
    CHECK(size_for({{"RAYON_NUM_THREADS", "99999999999999999999999"}, {"RAYON_RS_NUM_CPUS", "2"}}) == 2);
    CHECK(size_for({}, 100000) == 65535);
}

static void ordered_map_and_cover() {
    auto sq = pool::parallel_map<std::size_t>(1000, [](std::size_t i) { return i * i; });
    for (std::size_t i = 0; i < sq.size(); ++i) CHECK(sq[i] == i * i);
    std::vector<int> hits(10007, 0);
    pool::parallel_for(hits.size(), 13, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) hits[i] += 1;  // disjoint ranges
    });
    for (int h : hits) CHECK(h == 1);
    pool::parallel_for(0, 5, [&](std::size_t, std::size_t) { CHECK(false); });
}

static void nesting() {
    // every worker busy in an outer loop whose tasks each start inner loops
    std::vector<std::vector<std::size_t>> sums(64);
    pool::parallel_each(64, [&](std::size_t i) {
        sums[i] = pool::parallel_map<std::size_t>(64, [&](std::size_t j) {
            auto inner = pool::parallel_map<std::size_t>(8, [&](std::size_t k) { return i + j + k; });
            return std::accumulate(inner.begin(), inner.end(), std::size_t{0});
        });
    });
    for (std::size_t i = 0; i < 64; ++i)
        for (std::size_t j = 0; j < 64; ++j) CHECK(sums[i][j] == 8 * (i + j) + 28);
}

static void faults() {
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> ran{0};
        bool caught = false;
        try {
            pool::parallel_for(1000, 1, [&](std::size_t b, std::size_t) {
                ran++;
                if (b == 500) throw std::runtime_error("index out of bounds: the len is 5 but the index is 7");
            });
        } catch (const std::runtime_error& e) {
            caught = std::strcmp(e.what(), "index out of bounds: the len is 5 but the index is 7") == 0;
        }
        CHECK(caught);
        CHECK(ran.load() >= 1);
    }
    // a fault in a nested loop reaches the outermost caller
    bool caught = false;
    try {
        pool::parallel_each(8, [&](std::size_t i) {
            pool::parallel_each(8, [&](std::size_t j) {
                if (i == 3 && j == 5) throw std::runtime_error("inner");
            });
        });
    } catch (const std::runtime_error& e) {
        caught = std::string(e.what()) == "inner";
    }
    CHECK(caught);
    // the pool still works afterwards
    auto v = pool::parallel_map<int>(100, [](std::size_t i) { return int(i); });
    CHECK(v[99] == 99);
}

// Several outside threads (as several Python threads would) start loops at
// once on the one pool: every loop gets exactly its own results.
static void concurrent_callers() {
    constexpr int kCallers = 6;
    std::vector<int> ok(kCallers, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([t, &ok] {
            bool good = true;
            for (int round = 0; round < 40; ++round) {
                const std::size_t n = 50 + static_cast<std::size_t>(t * 37 + round * 11) % 400;
                auto v = pool::parallel_map<std::size_t>(n, [&](std::size_t i) { return i * 3 + t; });
                for (std::size_t i = 0; i < n; ++i) good &= v[i] == i * 3 + t;
                std::vector<std::uint32_t> buf(n * 8, 0);
                pool::parallel_for(n, 7, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i)
                        for (std::size_t k = 0; k < 8; ++k) buf[i * 8 + k] = static_cast<std::uint32_t>(i + k);
                });
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t k = 0; k < 8; ++k) good &= buf[i * 8 + k] == i + k;
                // a nested loop inside an outer one, also from many callers
                std::vector<std::size_t> sums(16, 0);
                pool::parallel_each(16, [&](std::size_t i) {
                    auto inner = pool::parallel_map<std::size_t>(32, [&](std::size_t j) { return i * j; });
                    sums[i] = std::accumulate(inner.begin(), inner.end(), std::size_t{0});
                });
                for (std::size_t i = 0; i < 16; ++i) good &= sums[i] == i * 496;
            }
            ok[t] = good;
        });
    }
    for (auto& c : callers) c.join();
    for (int t = 0; t < kCallers; ++t) CHECK(ok[t] == 1);
}

// Faults from some callers while others compute: each caller sees its own
// fault or its own results, never another's.
static void concurrent_faults() {
    constexpr int kCallers = 4;
    std::vector<int> ok(kCallers, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([t, &ok] {
            bool good = true;
            for (int round = 0; round < 30; ++round) {
                const bool fail = (t + round) % 2 == 0;
                std::string seen;
                try {
                    pool::parallel_each(64, [&](std::size_t i) {
                        pool::parallel_each(4, [&](std::size_t j) {
                            if (fail && i == 40 && j == 2) throw std::runtime_error("fault " + std::to_string(t));
                        });
                    });
                } catch (const std::runtime_error& e) {
                    seen = e.what();
                }
                good &= seen == (fail ? "fault " + std::to_string(t) : "");
            }
            ok[t] = good;
        });
    }
    for (auto& c : callers) c.join();
    for (int t = 0; t < kCallers; ++t) CHECK(ok[t] == 1);
}

// The first loop may come from several threads at once: one pool is made.
static void racing_first_use() {
    std::vector<std::thread> ts;
    std::vector<std::size_t> sizes(4, 0);
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([t, &sizes] {
            pool::parallel_each(8, [](std::size_t) {});
            sizes[t] = pool::size();
        });
    for (auto& t : ts) t.join();
    for (std::size_t s : sizes) CHECK(s == sizes[0] && s >= 1);
}

// The pool reads its size with getenv while it holds its creation lock. This
// getenv (it replaces the C library's in this program) can hold a thread
// there: 1 asks the next lookup of the size to stall, 2 says one stalls.
static std::atomic<int> g_stall{0};
extern "C" char* getenv(const char* name) {
    if (g_stall.load() == 1 && std::strcmp(name, "RAYON_NUM_THREADS") == 0) {
        g_stall = 2;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    const std::size_t n = std::strlen(name);
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, name, n) == 0 && (*e)[n] == '=') return *e + n + 1;
    return nullptr;
}

// A fork while another thread is creating the pool (it holds the creation
// lock): the fork waits for the creation, and the child's first loop runs
// (a child that inherited the lock held would wait forever: the alarm ends it).
static void fork_during_first_use() {
    g_stall = 1;
    std::thread creator([] { pool::parallel_each(8, [](std::size_t) {}); });
    while (g_stall.load() != 2) std::this_thread::yield();
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        auto v = pool::parallel_map<int>(100, [](std::size_t i) { return int(i); });
        _exit(v[99] == 99 ? 0 : 3);
    }
    int status = 0;
    CHECK(pid > 0 && waitpid(pid, &status, 0) == pid);
    creator.join();
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[2]) == "fork-during-first-use") {
        fork_during_first_use();
        if (failures) return 1;
        std::puts("ok");
        return 0;
    }
    if (argc > 2 && std::string(argv[2]) == "first-use") {
        // the pool is created by racing loops, with the environment's size
        racing_first_use();
        if (failures) return 1;
        std::puts("ok");
        return 0;
    }
    std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2;
    size_rules();
    CHECK(pool::start(n));
    CHECK(pool::size() == n);
    CHECK(pool::start(n + 5));  // an existing pool keeps its size
    CHECK(pool::size() == n);
    ordered_map_and_cover();
    nesting();
    faults();
    concurrent_callers();
    concurrent_faults();
    if (failures) return 1;
    std::puts("ok");
    return 0;
}
