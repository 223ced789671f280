#include "test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

extern char** environ;

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

int run(const std::vector<std::string>& argv, std::string* output) {
    if (argv.empty()) return -1;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string text;
    if (rc == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (output) *output = text;
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool opensslVerifies(const Bytes& certificate, const std::string& hash, const Bytes& message, const Bytes& signature,
                     std::string* output) {
    TempDir dir;
    if (!writeFile(dir.file("cert.der"), certificate) || !writeFile(dir.file("message"), message) ||
        !writeFile(dir.file("signature"), signature))
        return false;
    std::string log;
    if (run({"openssl", "x509", "-inform", "DER", "-in", dir.file("cert.der"), "-pubkey", "-noout", "-out",
             dir.file("pub.pem")},
            &log) != 0) {
        if (output) *output = log;
        return false;
    }
    const int rc = run({"openssl", "dgst", "-" + hash, "-verify", dir.file("pub.pem"), "-signature",
                        dir.file("signature"), dir.file("message")},
                       &log);
    if (output) *output = log;
    return rc == 0 && log.find("Verified OK") != std::string::npos;
}

Transport transportTo(CardSim& card) {
    return [&card](const Bytes& command) -> std::optional<Bytes> {
        Bytes r = card.transmit(command);
        if (r.empty()) return std::nullopt;
        return r;
    };
}

}  // namespace cardsim::test
