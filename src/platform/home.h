#pragma once

#include <string>

namespace plat {

// The user's home directory: $HOME, else the password database entry; empty when neither is known.
std::string homeDirectory();

// The user's Documents directory as the extension sees it: the one of its container
// (~/Library/Containers/<bundle identifier>/Data/Documents), or <home>/Documents when the home
// directory already is inside a container. Empty when the home directory is unknown.
std::string documentsDirectory();

}  // namespace plat
