// Parallel loops of the image side: row chunks on the worker pool (which
// runs them on the calling thread when there is only one chunk or one
// worker). Chunks keep private results merged in index order, so nothing
// depends on where they ran.
#pragma once

#include <cstddef>

#include "../pool/pool.hpp"

namespace rans {

template <class F>
void for_chunks(std::size_t n, std::size_t grain, F&& body) {
    pool::parallel_for(n, grain, body);
}

template <class F>
void for_each_chunk(std::size_t n, F&& body) {
    pool::parallel_each(n, body);
}

}  // namespace rans
