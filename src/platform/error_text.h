#pragma once

#include <string>

namespace plat {

// Hands the reason of a failure to a caller that asked for it (`error` may be null); false, so
// that a failing step can end in `return setError(error, "...")`.
inline bool setError(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

}  // namespace plat
