#pragma once

#include <string>

namespace plat {

// True when the path names an existing directory (symbolic links followed).
bool isDirectory(const std::string& path);

}  // namespace plat
