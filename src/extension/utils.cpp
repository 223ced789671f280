#include "extension/utils.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "extension/categories.h"
#include "platform/bundle.h"
#include "platform/ctk_smartcard.h"
#include "platform/home.h"
#include "platform/run_program.h"
#include "platform/system_log.h"

namespace {

constexpr const char* kInstanceIdFile = "instance_id.txt";

// The whole file; empty when it is missing, unreadable or empty.
std::string readInstanceIdFile() {
    const std::string documents = plat::documentsDirectory();
    if (documents.empty()) return {};
    std::ifstream file(documents + "/" + kInstanceIdFile, std::ios::binary);
    if (!file) return {};
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

std::string Utils::getInstanceId(const std::shared_ptr<ctk::SmartCard>& card, const std::string& listingProgram) {
    // An empty file counts as no file: an empty identifier would be the same for every card.
    std::string fromFile = readInstanceIdFile();
    if (!fromFile.empty()) {
        plat::systemLog("InstanceId was read from file");
        return fromFile;
    }
    std::vector<std::string> listed = getBrokenInstances(listingProgram);
    if (!listed.empty()) {
        plat::systemLog("Use broken instance id=%s", listed.front().c_str());
        return listed.front();
    }
    std::shared_ptr<ctk::Slot> slot = card ? card->slot() : nullptr;
    return MD5String(slot ? slot->name() : "unknown");
}

std::vector<std::string> Utils::getBrokenInstances(const std::string& listingProgram) {
    const std::string output = osRun(listingProgram, {"list-smartcards"});
    const std::string prefix = std::string(plat::kBundleIdentifier) + ":";
    std::vector<std::string> instances;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(prefix);
        if (at == std::string::npos) continue;
        // The instance follows the prefix.
        std::string instance = line.substr(at + prefix.size());
        if (instance.find('.') != std::string::npos) instances.push_back(std::move(instance));
    }
    return instances;
}

std::string Utils::osRun(const std::string& path, const std::vector<std::string>& args,
                         std::chrono::milliseconds timeLimit) {
    plat::ProgramRun run = plat::runProgram(path, args, timeLimit);
    if (!run.started) plat::systemLog("osRun | cannot start %s", path.c_str());
    if (run.timedOut)
        plat::systemLog("osRun | %s killed after %lld ms", path.c_str(), static_cast<long long>(timeLimit.count()));
    return std::move(run.output);
}

std::vector<unsigned char> Utils::guidAddSuffix(const std::vector<unsigned char>& guid,
                                                const std::vector<std::vector<unsigned char>>& usageMap) {
    std::vector<unsigned char> candidate = guid;
    candidate.push_back(0);
    for (int suffix = 1; suffix <= 255; ++suffix) {
        candidate.back() = static_cast<unsigned char>(suffix);
        if (std::find(usageMap.begin(), usageMap.end(), candidate) == usageMap.end()) return candidate;
    }
    plat::systemLog("guidAddSuffix error, to many guids");
    return guid;
}

std::vector<unsigned char> Utils::guidRemoveSuffix(const std::vector<unsigned char>& objectId) {
    if (objectId.empty()) return {};
    return std::vector<unsigned char>(objectId.begin(), objectId.end() - 1);
}

const char* Utils::operationName(long operation) {
    static constexpr const char* kNames[] = {"none", "read", "sign", "decr", "agrm"};
    if (operation < 0 || operation >= static_cast<long>(std::size(kNames))) return nullptr;
    return kNames[operation];
}
