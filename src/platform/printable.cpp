#include "platform/printable.h"

namespace plat {

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            out.push_back('.');
        else if (c == '"' || c == '\\')
            out.append({'\\', c});
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace plat
