// The card session's file access: select, read (behind the companion's file cache) and update,
// and the retransmit rule that recovers select and read from a lost channel or transfer.
#include <algorithm>

#include "Controller/controller.h"
#include "Data/wipe.h"
#include "Reader/reader.h"
#include "cache.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "Controller/controller_files";
constexpr unsigned long kLogMask = gc_log::kController;
constexpr unsigned long kErrMask = gc_log::kController | gc_log::kError;

using namespace gc_cc;
using gc_session::kCardMissing;
using gc_session::kReaderMissing;
using gc_session::kWrongFidLength;

// The cache key of a file: its path, then the application.
std::vector<uint8_t> cacheKey(const std::vector<uint8_t>& path, const std::vector<uint8_t>& aid) {
    std::vector<uint8_t> key = path;
    key.insert(key.end(), aid.begin(), aid.end());
    return key;
}

}  // namespace

bool GC_Controller::channelLost(int rc) {
    return rc == kSecurityStatus || rc == kCardReset;
}

int GC_Controller::retransmit(int result, const std::function<int()>& repeat) {
    // A recovery nested in another (a read inside the repeated reading of a TLV or of the
    // container list) goes on counting from the enclosing one's attempts and leaves them as it
    // found them: starting over from 0 would let a card that keeps refusing recurse without end.
    const int enclosing = retransmitCounter;
    ++retransmitCounter;
    if (retransmitCounter == 2) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Second retransmit");
        if (failedApduSize() != 0) {
            retransmitCounter = enclosing;
            unlockReader(0);
            return GC_FAIL(kErrMask, kSecurityStatus, "APDU size cannot be lowered | %d", result);
        }
    } else {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "First retransit");
    }
    if (const int rc = restoreSecureConnection(); rc != 0) {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Restore SM failed | %d", rc);
        result = kSecurityStatus;
    } else {
        result = repeat();
    }
    retransmitCounter = enclosing;
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    return result;
}

int GC_Controller::select(const std::vector<unsigned char>& path, unsigned long* fileSize,
                          const std::vector<unsigned char>& aid, bool force) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_FAIL(kErrMask, kCardMissing, "Card is nullptr");
    // Whole file identifiers only; without an application at least one.
    if ((aid.empty() && path.size() < 2) || path.size() % 2 != 0)
        return GC_FAIL(kErrMask, kWrongFidLength, "Wrong FID length");
    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    size_t size = 0;
    const int rc = cardController->select(aid, path, force, fileSize != nullptr ? &size : nullptr);
    if (fileSize != nullptr) *fileSize = size;
    if (channelLost(rc) && retransmitCounter < 2)
        return retransmit(rc, [&] { return select(path, fileSize, aid, true); });
    return finishOperation(__func__, rc);
}

int GC_Controller::read(std::vector<unsigned char>& out, const std::vector<unsigned char>& aid,
                        const std::vector<unsigned char>& path, unsigned long offset, unsigned long length,
                        unsigned long* size, bool selectApplication, bool selectPath, read_mode mode,
                        std::vector<unsigned char> tag) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_FAIL(kErrMask, kCardMissing, "Card is nullptr");
    if (path.size() < 2 || path.size() % 2 != 0) return GC_FAIL(kErrMask, kWrongFidLength, "Wrong FID length");
    // Offsets and lengths come from card data: beyond any card file they are refused before the
    // cache or the card is asked.
    if (offset > kLargestFile || length > kLargestFile)
        return GC_FAIL(kErrMask, kBadParameter, "Index to read is to big");
    const std::string name = reader->getReaderName();
    const std::vector<uint8_t> key = cacheKey(path, aid);
    const bool cacheUsed = mode != READ_EXTENDED && cacheInUse();

    int lookup = -4;
    if (cacheUsed) {
        std::vector<uint8_t> entry;
        lookup = GC_Cache::get(name.c_str(), key, entry, true);
        if (lookup != 0) {
            GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "Cannot read file from cache | %i", lookup);
        } else if (offset < entry.size() && length <= entry.size() - offset) {
            out.assign(entry.begin() + static_cast<long>(offset),
                       length == 0 ? entry.end() : entry.begin() + static_cast<long>(offset + length));
            if (size != nullptr) *size = entry.size();
            GC_LoggerC::file(__func__, __LINE__, kLogMask, path, offset, out, true);
            GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
            return 0;
        }
    }

    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    // The cache keeps whole files: the card read covers the whole file, whose size the selection
    // of its path tells.
    const unsigned long readOffset = cacheUsed ? 0 : offset;
    const unsigned long readLength = cacheUsed ? 0 : length;
    unsigned long fileSize = 0;
    std::vector<uint8_t> buffer;
    int rc = 0;
    if (mode == READ_EXTENDED) {
        rc = cardController->readEx(buffer, aid, path, offset, selectApplication, selectPath, tag);
    } else {
        if (selectApplication || selectPath || size != nullptr || cacheUsed) {
            const std::vector<uint8_t> selected = selectPath || cacheUsed ? path : std::vector<uint8_t>{};
            rc = select(selected, &fileSize, aid, selectApplication);
            if (rc != 0) return finishOperation(__func__, rc, "Cannot select file path");
        }
        const unsigned long count =
            readLength == 0 ? fileSize : (fileSize == 0 ? readLength : std::min(fileSize, readLength));
        rc = cardController->read(buffer, readOffset, count);
    }
    if (channelLost(rc) && retransmitCounter < 2) {
        rc = retransmit(rc, [&] { return read(out, aid, path, offset, length, size, true, true, mode, tag); });
        if (rc != 0) out.clear();
        return rc;
    }
    if (size != nullptr) *size = fileSize;
    if (const int released = unlockReader(0); released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    if (rc != 0) {
        // Never part of a file as if it were all of it.
        out.clear();
        return GC_FAIL(kErrMask, rc);
    }

    if (cacheUsed && lookup == -4 && GC_Cache::set(name.c_str(), key, buffer, true) != 0)
        rc = GC_FAIL(kErrMask, kFailed, "Cannot set file to cache");
    if (!cacheUsed) {
        out = std::move(buffer);
    } else if (length != 0 && offset <= buffer.size() && length <= buffer.size() - offset) {
        out.assign(buffer.begin() + static_cast<long>(offset), buffer.begin() + static_cast<long>(offset + length));
    } else if (offset < buffer.size()) {
        out.assign(buffer.begin() + static_cast<long>(offset), buffer.end());
    } else {
        out.clear();
        return GC_FAIL(kErrMask, kBadParameter, "Index to read is to big");
    }
    GC_LoggerC::file(__func__, __LINE__, kLogMask, path, offset, out, true);
    if (rc != 0) return rc;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}

void GC_Controller::forgetCachedFile(const std::vector<unsigned char>& aid, const std::vector<unsigned char>& path) {
    if (reader == nullptr || !cacheInUse()) return;
    if (const int rc = GC_Cache::remove(reader->getReaderName().c_str(), cacheKey(path, aid), true); rc != 0)
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kErrMask, "Cannot remove file from cache | %d", rc);
}

int GC_Controller::update(std::vector<unsigned char>& data, const std::vector<unsigned char>& aid,
                          const std::vector<unsigned char>& path, unsigned long offset, bool selectApplication,
                          bool selectPath) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (reader == nullptr) return GC_FAIL(kErrMask, kReaderMissing, "Reader is nullptr");
    if (!cardController) return GC_FAIL(kErrMask, kCardMissing, "Card is nullptr");
    if (path.size() < 2 || path.size() % 2 != 0) return GC_FAIL(kErrMask, kWrongFidLength, "Wrong FID length");
    // Nothing to write: the card and the cache stay as they are.
    if (data.empty()) {
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
        return 0;
    }
    if (const int rc = lockReader(); rc != 0) return GC_FAIL(kErrMask, rc, "Reader cannot lock");
    if (selectApplication || selectPath) {
        unsigned long fileSize = 0;
        const std::vector<uint8_t> selected = selectPath ? path : std::vector<uint8_t>{};
        if (const int rc = select(selected, &fileSize, aid, selectApplication); rc != 0)
            return finishOperation(__func__, rc, "Cannot select file path");
        // Only a selected file has a size to check against.
        if (selectPath && fileSize < offset + data.size())
            return finishOperation(__func__, kWriteBeyondEnd, "Filesize is to small, index is to big");
    }
    GC_LoggerC::file(__func__, __LINE__, kLogMask, path, offset, data, true);
    int rc = cardController->update(data, offset);
    const int released = unlockReader(0);
    // Whatever reached the card, the cached copy is no longer the file.
    if (!GC_Cache::isDisable() && GC_Cache::remove(reader->getReaderName().c_str(), cacheKey(path, aid), true) != 0)
        rc = GC_FAIL(kErrMask, kFailed, "Cannot set file to cache | %i", rc);
    if (released != 0) return GC_FAIL(kErrMask, released, "Reader cannot unlock");
    if (rc != 0) return GC_FAIL(kErrMask, rc);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, 0);
    return 0;
}
