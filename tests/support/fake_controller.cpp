#include "support/fake_controller.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

namespace gctest {

namespace {

constexpr int kNotSupported = -1101;
constexpr int kIndexTooBig = -1102;
constexpr int kWrongFidLength = -1501;
constexpr int kBeyondFile = -1504;
constexpr int kFileNotFound = -1505;

}  // namespace

void FakeController::setFile(const Bytes& aid, const Bytes& path, const Bytes& content) {
    files_[{aid, path}] = content;
}

void FakeController::removeFile(const Bytes& aid, const Bytes& path) { files_.erase({aid, path}); }

const Bytes* FakeController::file(const Bytes& aid, const Bytes& path) const {
    const auto it = files_.find({aid, path});
    return it == files_.end() ? nullptr : &it->second;
}

void FakeController::failRead(const Bytes& aid, const Bytes& path, int code) { failures_[{aid, path}] = code; }

void FakeController::clearFailures() { failures_.clear(); }

int FakeController::read(Bytes& out, const Bytes& aid, const Bytes& path, unsigned long offset,
                         unsigned long length, unsigned long* size, bool selectApplication, bool selectPath,
                         read_mode mode, Bytes tag) {
    ReadCall call{aid, path, offset, length, size != nullptr, selectApplication, selectPath, mode, tag, 0};
    const auto answer = [&](int result) {
        call.result = result;
        reads_.push_back(call);
        return result;
    };

    if (path.size() < 2) return answer(kWrongFidLength);
    if (const auto failure = failures_.find({aid, path}); failure != failures_.end()) return answer(failure->second);
    if (mode == READ_EXTENDED) return answer(kNotSupported);
    const Bytes* content = file(aid, path);
    if (content == nullptr) return answer(kFileNotFound);
    if (size != nullptr) *size = content->size();
    if (offset >= content->size()) return answer(kIndexTooBig);

    const unsigned long available = content->size() - offset;
    const unsigned long count = (length == 0 || length > available) ? available : length;
    out.assign(content->begin() + static_cast<long>(offset), content->begin() + static_cast<long>(offset + count));
    return answer(0);
}

int FakeController::update(Bytes& data, const Bytes& aid, const Bytes& path, unsigned long offset,
                           bool /*selectApplication*/, bool /*selectPath*/) {
    if (path.size() < 2) return kWrongFidLength;
    const auto it = files_.find({aid, path});
    if (it == files_.end()) return kFileNotFound;
    Bytes& content = it->second;
    if (offset > content.size() || data.size() > content.size() - offset) return kBeyondFile;
    std::copy(data.begin(), data.end(), content.begin() + static_cast<long>(offset));
    return 0;
}

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    int high = -1;
    for (const char c : hex) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<unsigned char>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) return {};
    return bytes;
}

bool loadCardMap(FakeController& card, const std::string& mapPath) {
    std::ifstream map(mapPath);
    if (!map) return false;
    const std::string folder = mapPath.substr(0, mapPath.find_last_of('/') + 1);
    std::string line;
    while (std::getline(map, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string dir;
        std::string fid;
        std::string name;
        if (!(fields >> dir >> fid >> name)) return false;
        const Bytes aid = fromHex(dir);
        const Bytes path = fromHex(fid);
        if (aid.empty() || path.empty()) return false;
        std::ifstream in(folder + name, std::ios::binary);
        if (!in) return false;
        const Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        card.setFile(aid, path, content);
    }
    return true;
}

}  // namespace gctest
