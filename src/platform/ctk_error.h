#pragma once

#include <string>

// Errors of the platform's token framework (its TKErrorDomain): a code and a readable text.
namespace ctk {

namespace error {
inline constexpr long kNotImplemented = -1;
inline constexpr long kCommunicationError = -2;
inline constexpr long kCorruptedData = -3;
inline constexpr long kCanceledByUser = -4;
inline constexpr long kAuthenticationFailed = -5;
inline constexpr long kObjectNotFound = -6;
inline constexpr long kTokenNotFound = -7;
inline constexpr long kBadParameter = -8;
// The operation needs an authentication first: the platform answers with a PIN operation.
inline constexpr long kAuthenticationNeeded = -9;
}  // namespace error

struct Error {
    long code = 0;
    std::string text;
};

}  // namespace ctk
