#include "test_util.h"

#include <fstream>
#include <iterator>

#include "support/child_process.h"

namespace cardsim::test {

bool writeFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::optional<Bytes> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<Bytes> dataFile(const std::string& name) {
    return readFile(std::string(CARDSIM_DATA_DIR) + "/" + name);
}

bool opensslVerifies(const Bytes& certificate, const std::string& hash, const Bytes& message, const Bytes& signature,
                     std::string* output) {
    TempDir dir;
    if (!writeFile(dir.file("cert.der"), certificate) || !writeFile(dir.file("message"), message) ||
        !writeFile(dir.file("signature"), signature))
        return false;
    const gctest::ToolRun key = gctest::runTool({"openssl", "x509", "-inform", "DER", "-in", dir.file("cert.der"),
                                                 "-pubkey", "-noout", "-out", dir.file("pub.pem")});
    if (key.status != 0) {
        if (output) *output = key.out + key.err;
        return false;
    }
    const gctest::ToolRun check = gctest::runTool({"openssl", "dgst", "-" + hash, "-verify", dir.file("pub.pem"),
                                                   "-signature", dir.file("signature"), dir.file("message")});
    if (output) *output = check.out + check.err;
    return check.status == 0 && check.out.find("Verified OK") != std::string::npos;
}

Transport transportTo(CardSim& card) {
    return [&card](const Bytes& command) -> std::optional<Bytes> {
        Bytes r = card.transmit(command);
        if (r.empty()) return std::nullopt;
        return r;
    };
}

}  // namespace cardsim::test
