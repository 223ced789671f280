#include "support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace gctest {

TempDir::TempDir() {
    std::string pattern = "/tmp/gctest-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::makeDirs(const std::string& relative) const {
    std::string full = path_ + "/" + relative;
    std::filesystem::create_directories(full);
    return full;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool writeExecutable(const std::string& path, const std::string& content) {
    if (!writeFile(path, content)) return false;
    std::error_code error;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, error);
    return !error;
}

std::string dataPath(const std::string& relative) {
    return std::string(GC_TEST_DATA_DIR) + "/" + relative;
}

}  // namespace gctest
