// Parallel loops of the image side.
//
// A pool of one worker gains nothing from taking a loop over: the calling
// thread would only hand it the chunks and sleep until they are done, and on
// a busy machine waking the worker and then the caller again costs more than
// a small image takes. So the chunks then run on the calling thread, in index
// order; they are the same chunks with the same private results, merged the
// same way, so nothing depends on where they ran.
#pragma once

#include <algorithm>
#include <cstddef>

#include "../pool/pool.hpp"

namespace rans {

template <class F>
void for_chunks(std::size_t n, std::size_t grain, F&& body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    if (n <= grain || pool::size() <= 1) {
        for (std::size_t b = 0; b < n; b += grain) body(b, std::min(n, b + grain));
        return;
    }
    pool::parallel_for(n, grain, body);
}

template <class F>
void for_each_chunk(std::size_t n, F&& body) {
    for_chunks(n, 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) body(i);
    });
}

}  // namespace rans
