// Helpers of the card tests: temporary directories, files, a signature checked by openssl, and
// opening a secure channel to an in-process card.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cardsim.h"
#include "support/temp_dir.h"
#include "terminal.h"

namespace cardsim::test {

using TempDir = gctest::TempDir;

bool writeFile(const std::string& path, const Bytes& data);
std::optional<Bytes> readFile(const std::string& path);
// tests/data/cardsim/<name>
std::optional<Bytes> dataFile(const std::string& name);

// Checks a signature with the openssl command line against the public key of a DER
// certificate: `openssl dgst -<hash> -verify` over `message`. ECDSA signatures must be DER.
bool opensslVerifies(const Bytes& certificate, const std::string& hash, const Bytes& message, const Bytes& signature,
                     std::string* output = nullptr);

// A transport into an in-process card.
Transport transportTo(CardSim& card);

}  // namespace cardsim::test
