#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace ctk {
class SmartCard;
}

// The extension's small services. No state.
class Utils {
public:
    // The system tool that lists the smart-card tokens of the system, one "<extension>:<instance>" a line.
    static constexpr const char* kListingProgram = "/usr/bin/security";
    // How long a system tool may run before it is killed.
    static constexpr std::chrono::milliseconds kProgramTimeLimit{5000};

    // The token's instance identifier: the content of "instance_id.txt" in the Documents
    // directory when that is not empty, else the first of this extension's instances in the
    // system's listing, else the MD5 text of the card's slot name ("unknown" without one).
    static std::string getInstanceId(const std::shared_ptr<ctk::SmartCard>& card,
                                     const std::string& listingProgram = kListingProgram);
    // This extension's instance identifiers in the system's listing, in line order.
    static std::vector<std::string> getBrokenInstances(const std::string& listingProgram = kListingProgram);
    // The standard output of a program run with the arguments; what it wrote before the time
    // limit when it had to be killed, empty when it could not be started.
    static std::string osRun(const std::string& path, const std::vector<std::string>& args,
                             std::chrono::milliseconds timeLimit = kProgramTimeLimit);

    // The identifier followed by the first suffix byte (1 to 255) that gives an identifier not
    // yet used; the identifier itself when all 255 are used.
    static std::vector<unsigned char> guidAddSuffix(const std::vector<unsigned char>& guid,
                                                    const std::vector<std::vector<unsigned char>>& usageMap);
    // The object identifier without its suffix byte (empty stays empty).
    static std::vector<unsigned char> guidRemoveSuffix(const std::vector<unsigned char>& objectId);

    // Whether the system is older than macOS 10.14: never on this platform.
    static bool isHighSierra() { return false; }
    // "none", "read", "sign", "decr", "agrm" for the token operations 0 to 4; null for others.
    static const char* operationName(long operation);
};
