#pragma once

#include <string>

namespace gctest {

// A fresh directory under /tmp, removed with everything in it when the object goes. Nothing here
// links the driver: the simulator's helpers use it too.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Creates path()/relative and every missing parent; returns the full path.
    std::string makeDirs(const std::string& relative) const;

private:
    std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes a whole file; false on failure.
bool writeFile(const std::string& path, const std::string& content);
// Writes a whole file that its owner may run (a shell script standing in for a program).
bool writeExecutable(const std::string& path, const std::string& content);
// A file under tests/data.
std::string dataPath(const std::string& relative);

}  // namespace gctest
