#include "platform/home.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/bundle.h"

namespace plat {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;

    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

std::string documentsDirectory() {
    const std::string home = homeDirectory();
    if (home.empty()) return {};
    if (home.find("Containers") != std::string::npos) return home + "/Documents";
    return home + "/Library/Containers/" + kBundleIdentifier + "/Data/Documents";
}

}  // namespace plat
