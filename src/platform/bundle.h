#pragma once

namespace plat {

// The extension's bundle identifier: names its container directory under ~/Library/Containers.
inline constexpr const char* kBundleIdentifier = "org.gctoken.extension";

}  // namespace plat
