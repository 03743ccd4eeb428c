#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ringlark::helper::push {

// URL-safe base64 without padding: the form browsers give keys in and JWTs use.
std::string base64UrlEncode(std::string_view bytes);

// Accepts the unpadded form (and correct '=' padding); anything else, including
// the standard alphabet's '+' and '/', whitespace and stray bits in the last
// character, gives nullopt.
std::optional<std::string> base64UrlDecode(std::string_view text);

} // namespace ringlark::helper::push
