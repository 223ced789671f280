// wait-token, list and sign: requests on the host's control socket.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Data/wipe.h"
#include "ctl/commands.h"
#include "ctl/host_client.h"
#include "ctl/secret_input.h"
#include "host/control_protocol.h"
#include "host/hex.h"
#include "host/key_algorithm_names.h"
#include "openssl_ptr.h"
#include "platform/base64.h"
#include "platform/json.h"

namespace ctl {

namespace {

using nlohmann::json;

constexpr long long kTokenWaitMs = 30'000;

// Room left in a request line for the data of a signature, in bytes before base64.
constexpr size_t kMaxSignInput = (host::LineChannel::kMaxRequestLine - 1024) / 4 * 3;

std::string socketPath(const CommandLine& line) {
    return line.value("--socket").value_or(host::protocol::defaultSocketPath());
}

// The host is not trusted to send what it should: a field of another type reads as absent.
std::string textOf(const json& object, const char* key) {
    const auto entry = object.find(key);
    return entry != object.end() && entry->is_string() ? entry->get<std::string>() : std::string();
}

bool isTrue(const json& object, const char* key) {
    const auto entry = object.find(key);
    return entry != object.end() && entry->is_boolean() && entry->get<bool>();
}

std::string errorOf(const json& answer) {
    const std::string text = textOf(answer, "error");
    return text.empty() ? "the host refused without saying why" : text;
}

// One request and its answer; the answer only when the host says ok.
std::optional<json> ask(const char* command, const CommandLine& line, const json& request, int& status) {
    std::string error;
    std::unique_ptr<HostClient> client = HostClient::connect(socketPath(line), &error);
    std::optional<json> answer;
    // A host that refuses the connection says why and closes it, maybe before the request is
    // sent: its line is read all the same.
    if (client) {
        client->send(request.dump());
        answer = client->receive(&error);
    }
    if (!client || !answer) {
        status = failure(command, error.empty() ? "the host closed the connection" : error);
        return std::nullopt;
    }
    if (!isTrue(*answer, "ok")) {
        status = failure(command, errorOf(*answer));
        return std::nullopt;
    }
    return answer;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes, std::string* error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool ok = close(fd) == 0 && done == bytes.size();
    if (!ok) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(path.c_str());  // never a partial file
    }
    return ok;
}

const EVP_MD* digestOf(host::Digest digest) {
    switch (digest) {
        case host::Digest::SHA1:
            return EVP_sha1();
        case host::Digest::SHA224:
            return EVP_sha224();
        case host::Digest::SHA256:
            return EVP_sha256();
        case host::Digest::SHA384:
            return EVP_sha384();
        case host::Digest::SHA512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

// What is handed to the token: the file's hash for a Digest algorithm, else the file itself.
bool inputFor(const host::NamedKeyAlgorithm& algorithm, const std::string& path, std::vector<unsigned char>& out,
              std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    const EVP_MD* md = digestOf(algorithm.digest);
    gc_ossl::EvpMdCtxPtr context(md != nullptr ? EVP_MD_CTX_new() : nullptr);
    if (md != nullptr && (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1)) {
        *error = "cannot hash";
        return false;
    }
    std::vector<char> chunk(64 * 1024);
    out.clear();
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const size_t got = static_cast<size_t>(in.gcount());
        if (md != nullptr) {
            if (EVP_DigestUpdate(context.get(), chunk.data(), got) != 1) {
                *error = "cannot hash";
                return false;
            }
        } else {
            if (out.size() + got > kMaxSignInput) {
                *error = path + " is too long for " + algorithm.name + " (at most " + std::to_string(kMaxSignInput) +
                         " bytes)";
                return false;
            }
            out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
        }
    }
    if (in.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    if (md != nullptr) {
        out.resize(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context.get(), out.data(), &length) != 1) {
            *error = "cannot hash";
            return false;
        }
        out.resize(length);
    }
    return true;
}

std::string flagsOf(const json& item) {
    std::string flags;
    for (const auto& [key, name] :
         {std::pair{"canSign", "sign"}, std::pair{"canDecrypt", "decrypt"},
          std::pair{"canPerformKeyExchange", "keyExchange"}, std::pair{"suitableForLogin", "login"}}) {
        if (!isTrue(item, key)) continue;
        if (!flags.empty()) flags.push_back(',');
        flags += name;
    }
    return flags.empty() ? "none" : flags;
}

std::string constraintsOf(const json& item) {
    std::string out;
    const auto constraints = item.find("constraints");
    if (constraints == item.end() || !constraints->is_object()) return "none";
    for (const auto& [operation, value] : constraints->items()) {
        if (!out.empty()) out.push_back(',');
        out += operation + ":" + (value.is_string() ? value.get<std::string>() : value.dump());
    }
    return out.empty() ? "none" : out;
}

// Prints one item; writes a certificate into the export directory.
bool showItem(const json& item, const std::optional<std::string>& exportDir, std::string* error) {
    const std::string objectID = textOf(item, "objectID");
    const std::string kind = textOf(item, "kind");
    // The identifier names the exported file: only hexadecimal digits are taken.
    if (!host::fromHex(objectID)) {
        *error = "the host sent an item without a hexadecimal object ID";
        return false;
    }
    std::printf("  %s %s label=\"%s\"", printable(kind).c_str(), objectID.c_str(),
                printable(textOf(item, "label")).c_str());
    if (kind == "key") {
        const auto size = item.find("keySize");
        std::printf(" type=%s-%s flags=%s constraints=%s certificate=%s", printable(textOf(item, "keyType")).c_str(),
                    size != item.end() && size->is_number_integer() ? std::to_string(size->get<int>()).c_str() : "?",
                    flagsOf(item).c_str(), printable(constraintsOf(item)).c_str(),
                    printable(textOf(item, "certificateID")).c_str());
    } else if (kind == "certificate" && exportDir) {
        std::vector<unsigned char> der;
        if (!plat::base64::decode(textOf(item, "certificate"), der)) {
            *error = "the host sent a certificate that is not base64";
            return false;
        }
        const std::string path = *exportDir + "/" + objectID + ".der";
        if (!writeFile(path, der, error)) return false;
        std::printf(" file=%s", path.c_str());
    }
    std::printf("\n");
    return true;
}

}  // namespace

int waitToken(const CommandLine& line) {
    const long long wait = timeoutMs(line, kTokenWaitMs);
    if (wait < 0) return failure("wait-token", "--timeout is a positive number of seconds");
    const bool gone = line.flag("--gone");
    json request{{"op", host::protocol::kOpWaitToken}, {"timeoutMs", wait}};
    if (const std::optional<std::string> reader = line.value("--reader")) request["reader"] = *reader;
    if (gone) request["gone"] = true;
    int status = 0;
    const std::optional<json> answer = ask("wait-token", line, request, status);
    if (!answer) return status;
    if (gone)
        std::printf("gone: %s\n", printable(textOf(*answer, "reader")).c_str());
    else
        std::printf("token: %s instance %s\n", printable(textOf(*answer, "reader")).c_str(),
                    printable(textOf(*answer, "instanceID")).c_str());
    return 0;
}

int list(const CommandLine& line) {
    json request{{"op", host::protocol::kOpList}};
    if (const std::optional<std::string> reader = line.value("--reader")) request["reader"] = *reader;
    int status = 0;
    const std::optional<json> answer = ask("list", line, request, status);
    if (!answer) return status;
    const auto tokens = answer->find("tokens");
    if (tokens == answer->end() || !tokens->is_array()) return failure("list", "the host sent no token list");

    const std::optional<std::string> exportDir = line.value("--export-dir");
    if (exportDir) {
        if (tokens->size() > 1) return failure("list", "several tokens: name the one to export with --reader");
        if (mkdir(exportDir->c_str(), 0755) != 0 && errno != EEXIST)
            return failure("list", "cannot make " + *exportDir + ": " + std::strerror(errno));
    }
    if (tokens->empty()) std::printf("no tokens\n");
    for (const json& token : *tokens) {
        if (!token.is_object()) return failure("list", "the host sent a token that is not an object");
        std::printf("token \"%s\" instance %s\n", printable(textOf(token, "reader")).c_str(),
                    printable(textOf(token, "instanceID")).c_str());
        const auto items = token.find("items");
        if (items == token.end() || !items->is_array()) continue;
        for (const json& item : *items) {
            std::string error;
            if (!item.is_object() || !showItem(item, exportDir, &error))
                return failure("list", error.empty() ? "the host sent an item that is not an object" : error);
        }
    }
    return 0;
}

int sign(const CommandLine& line) {
    const std::string reader = *line.value("--reader");
    const std::string alg = *line.value("--alg");
    const host::NamedKeyAlgorithm* algorithm = host::findKeyAlgorithm(alg);
    if (algorithm == nullptr) return failure("sign", "unknown algorithm \"" + alg + "\"");
    const std::optional<std::vector<unsigned char>> keyID = host::fromHex(*line.value("--key"));
    if (!keyID) return failure("sign", "the key ID is not hexadecimal: \"" + *line.value("--key") + "\"");

    std::string error;
    std::vector<unsigned char> input;
    if (!inputFor(*algorithm, *line.value("--in"), input, &error)) return failure("sign", error);

    std::unique_ptr<HostClient> client = HostClient::connect(socketPath(line), &error);
    if (!client) return failure("sign", error);
    const json request{{"op", host::protocol::kOpSign},
                       {"reader", reader},
                       {"key", host::toHex(*keyID)},
                       {"alg", algorithm->name},
                       {"data", plat::base64::encode(input)}};
    client->send(request.dump());  // a refusal is read below, as the first answer

    for (;;) {
        const std::optional<json> answer = client->receive(&error);
        if (!answer) return failure("sign", error);
        if (textOf(*answer, "pin") == "needed") {
            Secret pin;
            const std::string prompt = "PIN for \"" + textOf(*answer, "label") + "\" (" + reader + "): ";
            const bool read =
                line.flag("--pin-stdin") ? pin.readFromStdin(&error) : pin.readFromTerminal(prompt, &error);
            if (!read || pin.text().empty()) {
                client->send(json{{"op", host::protocol::kOpCancel}}.dump());
                return failure("sign", read ? "an empty PIN is refused" : "no PIN: " + error);
            }
            // It holds the PIN until it is wiped.
            std::optional<std::string> reply =
                plat::json::writeObjectTexts({{"op", host::protocol::kOpPin}, {"pin", pin.text()}});
            if (!reply) {
                client->send(json{{"op", host::protocol::kOpCancel}}.dump());
                return failure("sign", "the PIN must be UTF-8 text");
            }
            const bool sent = client->send(*reply);
            gc_wipe(*reply);
            if (!sent) return failure("sign", "the host closed the connection");
            continue;
        }
        if (!isTrue(*answer, "ok")) return failure("sign", errorOf(*answer));
        std::vector<unsigned char> signature;
        if (!plat::base64::decode(textOf(*answer, "signature"), signature) || signature.empty())
            return failure("sign", "the host sent no signature");
        const std::string out = *line.value("--out");
        if (!writeFile(out, signature, &error)) return failure("sign", error);
        std::printf("signature: %zu bytes in %s\n", signature.size(), out.c_str());
        return 0;
    }
}

}  // namespace ctl
