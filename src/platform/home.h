#pragma once

#include <string>

namespace plat {

// The user's home directory: $HOME, else the password database entry; empty when neither is known.
std::string homeDirectory();

}  // namespace plat
