// Runtime control and the decode lookups: get_backend_info,
// set_rayon_threads and build_all_lookups.
#include <vector>

#include "../pool/pool.hpp"
#include "../rans_core/lookups.hpp"
#include "bindings.hpp"

namespace binding {

PyObject* get_backend_info(Frame&) {
    Ref id = text("v1.0.0-rans-kest");
    Ref version = text("1.0.1");
    return tuple({&id, &version}).release();
}

PyObject* set_rayon_threads(Frame& f) {
    // Creates the pool if it does not exist yet and waits for its workers;
    // an existing pool keeps its size, and a failure to start it is ignored
    // (the first parallel loop then builds it with the default size).
    (void)pool::start(static_cast<std::size_t>(f.u64(0)));
    return none().release();
}

PyObject* build_all_lookups(Frame& f) {
    const std::size_t a = f.dim(0, 0), b = f.dim(0, 1);
    auto cum = f.in<std::uint64_t>(0);
    auto out = f.run([&] { return rans::build_all_lookups(cum, a * b); });
    return array(std::move(out), {a, b, rans::kScale}).release();
}

}  // namespace binding
