#include "platform/filesystem.h"

#include <sys/stat.h>

namespace plat {

bool isDirectory(const std::string& path) {
    struct stat status {};
    return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace plat
