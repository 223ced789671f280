// Helpers of the card tests: temporary directories, files, running programs, and
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

// Runs argv[0] (searched in PATH) with stdin from /dev/null; returns the exit status
// (-1 when it could not run) and, when asked, what it wrote to stdout and stderr.
int run(const std::vector<std::string>& argv, std::string* output = nullptr);

// Checks a signature with the openssl command line against the public key of a DER
// certificate: `openssl dgst -<hash> -verify` over `message`. ECDSA signatures must be DER.
bool opensslVerifies(const Bytes& certificate, const std::string& hash, const Bytes& message, const Bytes& signature,
                     std::string* output = nullptr);

// A transport into an in-process card.
Transport transportTo(CardSim& card);

}  // namespace cardsim::test
