#pragma once

#include <map>
#include <string>
#include <vector>

// Process-wide registry of reader back-ends, readers and card controllers. For now it offers
// what the reader back-ends look up: the exact ATRs of the supported card generations.
class GC_Factory {
public:
    GC_Factory() = delete;

    // A new map on every call: exact ATR of each supported card generation -> its name.
    // Matching is by exact byte equality; the first name of an ATR wins.
    static std::map<std::vector<unsigned char>, std::string> getCardsATRs();
};
