// convert_token_ids with any ids, a null pointer, or a count beyond the
// llama.cpp range (with a short array behind it: such a count is refused
// before anything is read). The result is compared with the rules.
#include <cstring>
#include <memory>
#include <vector>

#include "common/check.h"
#include "common/input_reader.h"
#include "scoring/token_ids.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    vl_fuzz::input_reader in(data, size);
    const std::uint8_t mode = in.u8();
    const bool null_pointer = (mode & 1) != 0;
    const bool huge_count = (mode & 2) != 0;
    const std::uint64_t huge = vl::max_llama_int + 1 + in.u32();

    std::size_t n_bytes = 0;
    const std::uint8_t *raw = in.rest(n_bytes);
    const std::size_t n = n_bytes / 4;
    // An exactly sized copy, so that AddressSanitizer reports reads past it.
    std::unique_ptr<std::uint32_t[]> ids(new std::uint32_t[n == 0 ? 1 : n]);
    if (n != 0) std::memcpy(ids.get(), raw, n * 4);

    const std::uint32_t *tokens = null_pointer ? nullptr : ids.get();
    const std::size_t count = huge_count ? static_cast<std::size_t>(huge) : n;
    std::vector<llama_token> out{1, 2, 3};  // stale content must not survive
    const vl::outcome got = vl::convert_token_ids(tokens, count, out);

    const char *expected = vl::ok;
    if (tokens == nullptr) expected = "token pointer is null";
    else if (count > vl::max_llama_int) expected = "token sequence is too large for llama.cpp";
    else
        for (std::size_t i = 0; i < n; ++i)
            if (ids[i] > vl::max_llama_int) {
                expected = "token id exceeds llama.cpp range";
                break;
            }

    if (expected == vl::ok) {
        VL_FUZZ_CHECK(got == vl::ok, "valid ids are accepted");
        VL_FUZZ_CHECK(out.size() == n, "one llama token per id");
        for (std::size_t i = 0; i < n; ++i)
            VL_FUZZ_CHECK(out[i] == static_cast<llama_token>(ids[i]), "ids keep their value");
    } else {
        VL_FUZZ_CHECK(got != vl::ok && std::strcmp(got, expected) == 0, "the first broken rule's message");
        VL_FUZZ_CHECK(out.empty(), "nothing left in the output after a failure");
    }
    return 0;
}
