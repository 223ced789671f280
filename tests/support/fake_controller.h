#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Controller/controller.h"

namespace gctest {

using Bytes = std::vector<unsigned char>;

// A card session without a card: files live in memory, keyed by the directory (or application)
// argument and the file identifier exactly as the caller passes them, so a test also proves that
// the caller names each file the way the card expects. Files keep the size they were stored
// with, as card files do. Every read and every update is logged, and reads and updates can be
// made to fail: per file, or (updates) the n-th one from now, optionally after part of its data
// was written, as a card that loses power in the middle of an UPDATE BINARY.
class FakeController : public GC_Controller {
public:
    using Key = std::pair<Bytes, Bytes>;
    using Store = std::map<Key, Bytes>;

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

    // One update as the caller made it.
    struct UpdateCall {
        Bytes aid;
        Bytes path;
        unsigned long offset = 0;
        Bytes data;
        bool selectApplication = false;
        bool selectPath = false;
        int result = 0;
    };

    // Stores (or replaces) a file.
    void setFile(const Bytes& aid, const Bytes& path, const Bytes& content);
    // Stores a file of `size` bytes: the content, then zero bytes (a longer content is kept whole).
    void setFile(const Bytes& aid, const Bytes& path, const Bytes& content, size_t size);
    void removeFile(const Bytes& aid, const Bytes& path);
    // The stored content, or null.
    const Bytes* file(const Bytes& aid, const Bytes& path) const;
    // Every file, for comparing the whole card before and after an operation.
    const Store& files() const { return files_; }

    // Every later read of this file answers `code` (a non-zero library code) and returns no bytes.
    void failRead(const Bytes& aid, const Bytes& path, int code);
    // Every later update of this file answers `code` and writes nothing.
    void failUpdate(const Bytes& aid, const Bytes& path, int code);
    // The n-th update from now (1: the next one) answers `code` after writing the first `torn`
    // bytes of its data (at most all of them). Only that one update fails.
    void failUpdateAt(size_t n, int code, size_t torn = 0);
    // Drops every failure set up for reads and updates.
    void clearFailures();

    const std::vector<ReadCall>& reads() const { return reads_; }
    const std::vector<UpdateCall>& updates() const { return updates_; }
    void clearLog() {
        reads_.clear();
        updates_.clear();
    }

    // Like the card session: -1501 for a file identifier shorter than two bytes, -1505 for a
    // missing file, -1102 for an offset at or beyond the end of the file. Mode 1: `length` 0 or
    // running past the end reads to the end. Mode 2: exactly the TLV that starts at `offset`;
    // -1506 when it does not start with `tag`, -1100 when no complete TLV starts there.
    int read(Bytes& out, const Bytes& aid, const Bytes& path, unsigned long offset, unsigned long length,
             unsigned long* size, bool selectApplication, bool selectPath, read_mode mode, Bytes tag) override;

    // Overwrites bytes of an existing file: -1501 as for read, -1505 for a missing file, -1504
    // when the data would run past the end of the file (files never grow).
    int update(Bytes& data, const Bytes& aid, const Bytes& path, unsigned long offset, bool selectApplication,
               bool selectPath) override;

private:
    Store files_;
    std::map<Key, int> readFailures_;
    std::map<Key, int> updateFailures_;
    // Updates made so far (never reset by clearLog), and the one that is to fail (0: none).
    size_t updateCount_ = 0;
    size_t failingUpdate_ = 0;
    int failingCode_ = 0;
    size_t tornBytes_ = 0;
    std::vector<ReadCall> reads_;
    std::vector<UpdateCall> updates_;
};

// Loads the files listed in a card map: one file per line, "<directory hex> <file id hex>
// <file name>", the name relative to the map's folder; blank lines and lines starting with '#'
// are skipped. False (with the store partly filled) when a line or a file cannot be read.
bool loadCardMap(FakeController& card, const std::string& mapPath);

}  // namespace gctest
