#include "fault.hpp"

namespace rans {

void index_fault(std::size_t len, std::size_t index) {
    throw Fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                std::to_string(index));
}

void slice_end_fault(std::size_t end, std::size_t len) {
    throw Fault("range end index " + std::to_string(end) + " out of range for slice of length " +
                std::to_string(len));
}

void slice_order_fault(std::size_t begin, std::size_t end) {
    throw Fault("slice index starts at " + std::to_string(begin) + " but ends at " +
                std::to_string(end));
}

void capacity_overflow() { throw Fault("capacity overflow"); }

}  // namespace rans
