// Runtime control: get_backend_info and set_rayon_threads.
#include "../pool/pool.hpp"
#include "bindings.hpp"
#include "signatures.hpp"

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
    constexpr Named p{sig::set_rayon_threads};
    (void)pool::start(static_cast<std::size_t>(f.u64(p["n"])));
    return none().release();
}

}  // namespace binding
