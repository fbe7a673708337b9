// The front end's private _varints: the container's numbers read in the
// module, where a file's few dozen take a microsecond.
#include "../rans_core/varints.hpp"
#include "bindings.hpp"
#include "signatures.hpp"

namespace binding {

// (values, used, fault) of the first `count` numbers of the window; fault is
// the VarintFault number, and values (uint64) are empty on a fault.
PyObject* varints(Frame& f) {
    constexpr Named p{sig::varints};
    auto r = f.run([&] { return rans::read_varints(f.in<std::uint8_t>(p["window"]), f.u64(p["count"])); });
    const std::size_t n = r.values.size();
    Ref values = array(std::move(r.values), {n});
    Ref used = integer(r.used);
    Ref fault = integer(static_cast<std::uint64_t>(r.fault));
    return tuple({&values, &used, &fault}).release();
}

}  // namespace binding
