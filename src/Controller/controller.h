#pragma once

#include <cstdint>
#include <vector>

// The card session on one reader.
//
// Only the file operations that the card data layouts use are declared so far. They are virtual
// so that a layout can be exercised against an in-memory file store (tests/support) without a
// reader or a card.
class GC_Controller {
public:
    // How read reaches the file.
    enum read_mode : uint32_t {
        // Select the file (when asked) and read it; the companion cache is used when enabled.
        READ_SELECT = 1,
        // Read through the card controller's extended read, without the cache: exactly the TLV
        // that starts at the offset, which must begin with the given tag.
        READ_EXTENDED = 2,
    };

    GC_Controller() = default;
    virtual ~GC_Controller() = default;

    GC_Controller(const GC_Controller&) = delete;
    GC_Controller& operator=(const GC_Controller&) = delete;

    // Reads `length` bytes (0: to the end of the file) from `offset` of file `path` in the
    // directory or application `aid` into out. `size` (may be null) receives the file size.
    // selectApplication: select `aid` anew even when it is the current one; selectPath: select
    // `path` under it. `tag` is used by READ_EXTENDED only.
    // 0 or a negative library code (-1501 for a path shorter than two bytes, -1508 for a
    // deactivated file, ...).
    virtual int read(std::vector<unsigned char>& out, const std::vector<unsigned char>& aid,
                     const std::vector<unsigned char>& path, unsigned long offset, unsigned long length,
                     unsigned long* size, bool selectApplication, bool selectPath, read_mode mode,
                     std::vector<unsigned char> tag);

    // Writes data at `offset` of file `path` in `aid`; the flags as for read. 0 or a negative
    // library code (-1504 when the data does not fit the file).
    virtual int update(std::vector<unsigned char>& data, const std::vector<unsigned char>& aid,
                       const std::vector<unsigned char>& path, unsigned long offset, bool selectApplication,
                       bool selectPath);
};
