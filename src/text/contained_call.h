// Calling llama.cpp functions that can throw through their C interface.
#pragma once

#include <cstdint>
#include <new>

namespace vl {

// Runs one llama.cpp call that returns int32 and reports whether it
// returned. Some of llama.cpp's C functions let C++ exceptions through:
// llama_detokenize throws std::out_of_range for an id outside the
// vocabulary, and llama_tokenize can on a vocabulary without byte pieces.
// Such an exception counts as a failure of that call. Exhausted memory is
// not a failure of the call: it propagates to the export boundary.
template <class Call>
bool call_contained(Call &&call, std::int32_t &result) {
    try {
        result = call();
        return true;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (...) {
        return false;
    }
}

}  // namespace vl
