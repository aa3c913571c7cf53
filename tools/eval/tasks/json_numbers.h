// Checked reads of numbers from parsed JSON lines. A value's JSON type and
// range are checked before it is converted, so that a results or task line
// edited by hand, cut or damaged is refused with a message that names the
// field, and no number (1e60, -3, 2.5) is ever converted out of range.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace vl_eval {

// An integer in [min, max]: a JSON integer, not a fraction or a number too
// large for an integer. Returns what is wrong ("field 'NAME' must be ..."),
// empty on success, when out is set.
std::string json_integer(const nlohmann::json &value, const std::string &name, std::int64_t min,
                         std::int64_t max, std::int64_t &out);

// A finite number, integer or not.
std::string json_finite(const nlohmann::json &value, const std::string &name, double &out);

}  // namespace vl_eval
