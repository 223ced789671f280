#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Controller/controller.h"

namespace gctest {

using Bytes = std::vector<unsigned char>;

// A card session without a card: files live in memory, keyed by the directory (or application)
// argument and the file identifier exactly as the caller passes them, so a test also proves that
// the caller names each file the way the card expects. Every read is logged, and a read result
// can be forced per file.
class FakeController : public GC_Controller {
public:
    // One read as the caller made it.
    struct ReadCall {
        Bytes aid;
        Bytes path;
        unsigned long offset = 0;
        unsigned long length = 0;
        bool sizeWanted = false;
        bool selectApplication = false;
        bool selectPath = false;
        read_mode mode = READ_SELECT;
        Bytes tag;
        int result = 0;
    };

    // Stores (or replaces) a file.
    void setFile(const Bytes& aid, const Bytes& path, const Bytes& content);
    void removeFile(const Bytes& aid, const Bytes& path);
    // The stored content, or null.
    const Bytes* file(const Bytes& aid, const Bytes& path) const;

    // Every later read of this file answers `code` (a non-zero library code) and returns no bytes.
    void failRead(const Bytes& aid, const Bytes& path, int code);
    void clearFailures();

    const std::vector<ReadCall>& reads() const { return reads_; }
    void clearLog() { reads_.clear(); }

    // Like the card session: -1501 for a file identifier shorter than two bytes, -1505 for a
    // missing file, -1102 for an offset at or beyond the end of the file; `length` 0 or running
    // past the end reads to the end. The extended read mode is not served (-1101).
    int read(Bytes& out, const Bytes& aid, const Bytes& path, unsigned long offset, unsigned long length,
             unsigned long* size, bool selectApplication, bool selectPath, read_mode mode, Bytes tag) override;

    // Overwrites bytes of an existing file: -1501 as for read, -1505 for a missing file, -1504
    // when the data would run past the end of the file (files never grow).
    int update(Bytes& data, const Bytes& aid, const Bytes& path, unsigned long offset, bool selectApplication,
               bool selectPath) override;

private:
    using Key = std::pair<Bytes, Bytes>;
    std::map<Key, Bytes> files_;
    std::map<Key, int> failures_;
    std::vector<ReadCall> reads_;
};

// Loads the files listed in a card map: one file per line, "<directory hex> <file id hex>
// <file name>", the name relative to the map's folder; blank lines and lines starting with '#'
// are skipped. False (with the store partly filled) when a line or a file cannot be read.
bool loadCardMap(FakeController& card, const std::string& mapPath);

// Bytes from hex digits; blanks are ignored. Empty on a stray character or an odd digit count.
Bytes fromHex(const std::string& hex);

}  // namespace gctest
