// How internal operations report: success, or one fixed message.
#pragma once

namespace vl {

// nullptr on success; otherwise one of the library's fixed messages, a
// string literal with static storage that is never formatted.
using outcome = const char *;
inline constexpr outcome ok = nullptr;

}  // namespace vl
