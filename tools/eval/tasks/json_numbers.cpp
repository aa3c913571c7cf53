#include "tasks/json_numbers.h"

#include <cmath>

namespace vl_eval {
namespace {

// The value as the line wrote it, cut short: enough to find it in the file.
std::string shown(const nlohmann::json &value) {
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

}  // namespace

std::string json_integer(const nlohmann::json &value, const std::string &name, std::int64_t min,
                         std::int64_t max, std::int64_t &out) {
    // nlohmann keeps integers beyond 64 bits, and every number with a
    // fraction or an exponent, as a double: those are not integers here.
    bool in_range = false;
    if (value.is_number_unsigned()) {
        const std::uint64_t v = value.get<std::uint64_t>();
        in_range = max >= 0 && v <= static_cast<std::uint64_t>(max) &&
                   (min <= 0 || v >= static_cast<std::uint64_t>(min));
        if (in_range) out = static_cast<std::int64_t>(v);
    } else if (value.is_number_integer()) {
        const std::int64_t v = value.get<std::int64_t>();
        in_range = v >= min && v <= max;
        if (in_range) out = v;
    }
    if (in_range) return {};
    return "field '" + name + "' must be an integer from " + std::to_string(min) + " to " +
           std::to_string(max) + ", not " + shown(value);
}

std::string json_finite(const nlohmann::json &value, const std::string &name, double &out) {
    if (value.is_number()) {
        const double v = value.get<double>();
        if (std::isfinite(v)) {
            out = v;
            return {};
        }
    }
    return "field '" + name + "' must be a finite number, not " + shown(value);
}

}  // namespace vl_eval
