#include "support/fake_controller.h"
#include "support/hex.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

namespace gctest {

namespace {

constexpr int kGeneralFailure = -1100;
constexpr int kIndexTooBig = -1102;
constexpr int kWrongFidLength = -1501;
constexpr int kBeyondFile = -1504;
constexpr int kFileNotFound = -1505;
constexpr int kTagNotFound = -1506;

// Size of the BER TLV at offset (tag, definite length, content), or 0 when none fits there.
size_t tlvSize(const Bytes& data, size_t offset) {
    size_t pos = offset;
    if (pos >= data.size()) return 0;
    if ((data[pos++] & 0x1F) == 0x1F) {
        while (pos < data.size() && (data[pos] & 0x80) != 0) ++pos;
        if (pos >= data.size()) return 0;
        ++pos;
    }
    if (pos >= data.size()) return 0;
    const unsigned char first = data[pos++];
    size_t length = first;
    if (first == 0x80 || first > 0x84) return 0;
    if (first > 0x80) {
        const size_t count = first & 0x7F;
        if (count > data.size() - pos) return 0;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | data[pos++];
    }
    if (length > data.size() - pos) return 0;
    return pos + length - offset;
}

}  // namespace

void FakeController::setFile(const Bytes& aid, const Bytes& path, const Bytes& content) {
    files_[{aid, path}] = content;
}

void FakeController::setFile(const Bytes& aid, const Bytes& path, const Bytes& content, size_t size) {
    Bytes padded = content;
    if (padded.size() < size) padded.resize(size, 0x00);
    files_[{aid, path}] = std::move(padded);
}

void FakeController::removeFile(const Bytes& aid, const Bytes& path) {
    files_.erase({aid, path});
}

const Bytes* FakeController::file(const Bytes& aid, const Bytes& path) const {
    const auto it = files_.find({aid, path});
    return it == files_.end() ? nullptr : &it->second;
}

void FakeController::failRead(const Bytes& aid, const Bytes& path, int code) {
    readFailures_[{aid, path}] = code;
}

void FakeController::failUpdate(const Bytes& aid, const Bytes& path, int code) {
    updateFailures_[{aid, path}] = code;
}

void FakeController::failUpdateAt(size_t n, int code, size_t torn) {
    failingUpdate_ = n == 0 ? 0 : updateCount_ + n;
    failingCode_ = code;
    tornBytes_ = torn;
}

void FakeController::clearFailures() {
    readFailures_.clear();
    updateFailures_.clear();
    failingUpdate_ = 0;
}

int FakeController::read(Bytes& out, const Bytes& aid, const Bytes& path, unsigned long offset, unsigned long length,
                         unsigned long* size, bool selectApplication, bool selectPath, read_mode mode, Bytes tag) {
    ReadCall call{aid, path, offset, length, size != nullptr, selectApplication, selectPath, mode, tag, 0};
    const auto answer = [&](int result) {
        call.result = result;
        reads_.push_back(call);
        return result;
    };

    if (path.size() < 2) return answer(kWrongFidLength);
    if (const auto failure = readFailures_.find({aid, path}); failure != readFailures_.end()) {
        return answer(failure->second);
    }
    const Bytes* content = file(aid, path);
    if (content == nullptr) return answer(kFileNotFound);
    if (size != nullptr) *size = content->size();
    if (offset >= content->size()) return answer(kIndexTooBig);

    if (mode == READ_EXTENDED) {
        if (tag.empty() || tag.size() > content->size() - offset ||
            !std::equal(tag.begin(), tag.end(), content->begin() + static_cast<long>(offset))) {
            return answer(kTagNotFound);
        }
        const size_t tlv = tlvSize(*content, offset);
        if (tlv == 0) return answer(kGeneralFailure);
        out.assign(content->begin() + static_cast<long>(offset), content->begin() + static_cast<long>(offset + tlv));
        return answer(0);
    }

    const unsigned long available = content->size() - offset;
    const unsigned long count = (length == 0 || length > available) ? available : length;
    out.assign(content->begin() + static_cast<long>(offset), content->begin() + static_cast<long>(offset + count));
    return answer(0);
}

int FakeController::update(Bytes& data, const Bytes& aid, const Bytes& path, unsigned long offset,
                           bool selectApplication, bool selectPath) {
    UpdateCall call{aid, path, offset, data, selectApplication, selectPath, 0};
    const auto answer = [&](int result) {
        call.result = result;
        updates_.push_back(call);
        return result;
    };
    ++updateCount_;

    if (path.size() < 2) return answer(kWrongFidLength);
    if (const auto failure = updateFailures_.find({aid, path}); failure != updateFailures_.end()) {
        return answer(failure->second);
    }
    const auto it = files_.find({aid, path});
    if (it == files_.end()) return answer(kFileNotFound);
    Bytes& content = it->second;
    if (offset > content.size() || data.size() > content.size() - offset) return answer(kBeyondFile);
    if (updateCount_ == failingUpdate_) {
        failingUpdate_ = 0;
        const size_t torn = std::min(tornBytes_, data.size());
        std::copy(data.begin(), data.begin() + static_cast<long>(torn), content.begin() + static_cast<long>(offset));
        return answer(failingCode_);
    }
    std::copy(data.begin(), data.end(), content.begin() + static_cast<long>(offset));
    return answer(0);
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
        const Bytes aid = unhex(dir);
        const Bytes path = unhex(fid);
        if (aid.empty() || path.empty()) return false;
        std::ifstream in(folder + name, std::ios::binary);
        if (!in) return false;
        const Bytes content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        card.setFile(aid, path, content);
    }
    return true;
}

}  // namespace gctest
