#pragma once

#include <map>
#include <vector>

#include "Data/bytes.h"

// The program's persistent settings: one flat key=value file, "config.conf", in the Documents
// directory of the extension's container. Its one client is the per-reader maximum APDU size.
// No state of its own: every operation reads the file anew.
class GC_Settings {
public:
    // Orders keys by their NUL-terminated texts, byte by byte as unsigned values.
    struct cmp_str {
        bool operator()(const GC_Bytes& a, const GC_Bytes& b) const;
    };
    using entries = std::map<GC_Bytes, GC_Bytes, cmp_str>;

    // The extended-length mark: the reader takes extended APDUs with no learned limit.
    static constexpr int kExtendedMark = 2147483647;

    // Stores value under key and rewrites the file. Returns 0 (a write failure is only logged).
    static int set(const char* section, const char* key, const char* value);
    // Adds the file's entries to the map (keys already there keep their values); 0 or -1.
    static int getAll(const char* section, entries& out);
    // Appends the value's bytes to `value`: 0, or -2 when the key is absent.
    static int get(const char* section, const char* key, std::vector<char>& value);

    // The reader name up to (not including) its last space.
    static GC_Bytes readerKey(const char* readerName);
    // Stores the size under the reader key unless a value is stored there already. Always 0.
    static int setReaderMaxAPDUSize(const char* readerName, int size, bool extended);
    // -1 when nothing is stored, kExtendedMark for "E", else the stored number.
    static int getReaderMaxAPDUSize(const char* readerName);
};
