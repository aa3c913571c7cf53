#include "tasks/python_text.h"

#include <cstdint>
#include <cwctype>
#include <locale.h>

namespace vl_eval {
namespace {

// One code point of text at i (advancing i); an invalid byte stands for itself.
std::uint32_t next_code_point(const std::string &text, std::size_t &i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) {
        ++i;
        return b;
    }
    std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return b;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    i += len;
    return cp;
}

void append_utf8(std::string &out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Python's str.isspace.
bool is_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
           cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
           cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Unicode's simple case mappings through the C library's UTF-8 locale;
// ASCII only where the system has none.
locale_t utf8_locale() {
    static const locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return l;
    }();
    return loc;
}

std::uint32_t to_upper(std::uint32_t cp) {
    if (cp < 0x80) return cp >= 'a' && cp <= 'z' ? cp - 32 : cp;
    const locale_t l = utf8_locale();
    return l ? static_cast<std::uint32_t>(towupper_l(static_cast<wint_t>(cp), l)) : cp;
}

std::uint32_t to_lower(std::uint32_t cp) {
    if (cp < 0x80) return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
    const locale_t l = utf8_locale();
    return l ? static_cast<std::uint32_t>(towlower_l(static_cast<wint_t>(cp), l)) : cp;
}

}  // namespace

std::size_t code_points(const std::string &text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++n) next_code_point(text, i);
    return n;
}

std::string python_strip(const std::string &text) {
    std::size_t begin = 0, end = 0;  // the first and one past the last non-space
    bool any = false;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        if (!is_space(next_code_point(text, i))) {
            if (!any) begin = at;
            any = true;
            end = i;
        }
    }
    return any ? text.substr(begin, end - begin) : std::string();
}

std::string python_capitalize(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::uint32_t cp = next_code_point(text, i);
        append_utf8(out, out.empty() ? to_upper(cp) : to_lower(cp));
    }
    return out;
}

std::string replace_all(const std::string &text, const std::string &from, const std::string &to) {
    if (from.empty()) return text;
    std::string out;
    std::size_t at = 0;
    for (std::size_t hit; (hit = text.find(from, at)) != std::string::npos; at = hit + from.size())
        out.append(text, at, hit - at).append(to);
    return out.append(text, at, std::string::npos);
}

std::string hellaswag_clean(const std::string &text) {
    std::string t = replace_all(python_strip(text), " [title]", ". ");
    // re.sub(r"\[.*?\]", "", t): "." does not match a newline.
    std::string untagged;
    for (std::size_t i = 0; i < t.size();) {
        if (t[i] == '[') {
            std::size_t close = i + 1;
            while (close < t.size() && t[close] != ']' && t[close] != '\n') ++close;
            if (close < t.size() && t[close] == ']') {
                i = close + 1;
                continue;
            }
        }
        untagged += t[i++];
    }
    return replace_all(untagged, "  ", " ");
}

}  // namespace vl_eval
