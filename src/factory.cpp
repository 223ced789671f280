#include "factory.h"

#include <utility>

#include "logger.h"

namespace {

constexpr const char* kLogFile = "factory";
constexpr unsigned long kLogMask = gc_log::kFactory;

using AtrRows = std::vector<std::pair<std::string, std::vector<unsigned char>>>;

// The ATR rows of the two card generations, in the order they are tried: Varnel 1.0 first.
// They belong to the card-generation controllers; until those exist they live here.
const AtrRows& varnel10Atrs() {
    static const AtrRows rows{{"VARNEL_1_0", {0x3B, 0x84, 0x80, 0x01, 0x47, 0x43, 0x50, 0x43, 0x12}}};
    return rows;
}

const AtrRows& varnel20Atrs() {
    static const AtrRows rows{
        {"VARNEL_2_0", {0x3B, 0x89, 0x80, 0x01, 0x02, 0x4D, 0x4B, 0x4D, 0x57, 0x4B, 0x53, 0x4B, 0x54, 0x11}}};
    return rows;
}

}  // namespace

std::map<std::vector<unsigned char>, std::string> GC_Factory::getCardsATRs() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    std::map<std::vector<unsigned char>, std::string> atrs;
    for (const AtrRows* rows : {&varnel10Atrs(), &varnel20Atrs()})
        for (const auto& [name, atr] : *rows) atrs.emplace(atr, name);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return atrs;
}
