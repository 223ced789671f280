// gc-token-ctl: plays the user of the token host. version and check-can speak the companion
// application's own messages on the bus; wait-token, list and sign use the host's control socket.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "ctl/command_line.h"
#include "ctl/commands.h"

namespace {

using ctl::CommandSpec;

struct Command {
    CommandSpec syntax;
    int (*run)(const ctl::CommandLine&);
};

const Command kCommands[] = {
    {{.name = "version",
      .summary = "ask the token extension for its version (a companion message)",
      .help = "  --bus ADDRESS   the bus shared with the host (default: the session bus)\n"
              "  --timeout S     how long to wait for the answer (default 5)\n"
              "The extension listens once a card has been inserted.\n",
      .values = {"--bus", "--timeout"},
      .flags = {},
      .required = {}},
     ctl::version},
    {{.name = "check-can",
      .summary = "send the card's CAN so that the token opens the card (a companion message)",
      .help = "  --reader R      the reader of the card\n"
              "  --can-stdin     read the CAN from standard input instead of asking on the terminal\n"
              "  --bus ADDRESS   the bus shared with the host (default: the session bus)\n"
              "  --timeout S     how long to wait for the result (default 60)\n"
              "Shows the \"canProgress\" messages and the \"canResult\".\n",
      .values = {"--reader", "--bus", "--timeout"},
      .flags = {"--can-stdin"},
      .required = {"--reader"}},
     ctl::checkCan},
    {{.name = "wait-token",
      .summary = "wait until a card's token is there (or, with --gone, until it went)",
      .help = "  --reader R      the reader (default: any reader; --gone needs one)\n"
              "  --gone          wait until the reader has no token\n"
              "  --timeout S     how long to wait (default 30)\n"
              "  --socket PATH   the host's control socket\n",
      .values = {"--reader", "--timeout", "--socket"},
      .flags = {"--gone"},
      .required = {}},
     ctl::waitToken},
    {{.name = "list",
      .summary = "list the tokens and their keychain items",
      .help = "  --reader R        only the token of this reader\n"
              "  --export-dir D    write every certificate to D/OBJECTID.der (one token only)\n"
              "  --socket PATH     the host's control socket\n"
              "Per item: kind, object ID, label; for keys the type, flags, constraints and the\n"
              "object ID of the key's certificate.\n",
      .values = {"--reader", "--export-dir", "--socket"},
      .flags = {},
      .required = {}},
     ctl::list},
    {{.name = "sign",
      .summary = "sign a file with a key of a token",
      .help = "  --reader R      the reader of the card\n"
              "  --key ID        the key item's object ID (hexadecimal)\n"
              "  --alg ALG       the algorithm, e.g. ECDSASignatureDigestX962 or\n"
              "                  RSASignatureDigestPKCS1v15SHA256 (the platform's names)\n"
              "  --in FILE       what to sign; for the Digest algorithms FILE is hashed first with\n"
              "                  the algorithm's hash (SHA-256 for ECDSASignatureDigestX962)\n"
              "  --out SIG       where the signature goes (DER for ECDSA)\n"
              "  --pin-stdin     read the PIN from standard input instead of asking on the terminal\n"
              "  --socket PATH   the host's control socket\n"
              "The PIN is asked for only when the token needs it; an empty PIN is refused.\n",
      .values = {"--reader", "--key", "--alg", "--in", "--out", "--socket"},
      .flags = {"--pin-stdin"},
      .required = {"--reader", "--key", "--alg", "--in", "--out"}},
     ctl::sign},
};

void usage(FILE* out) {
    std::fprintf(out, "usage: gc-token-ctl COMMAND [OPTIONS]   (gc-token-ctl COMMAND --help for its options)\n\n");
    for (const Command& command : kCommands)
        std::fprintf(out, "  %-11s %s\n", command.syntax.name, command.syntax.summary);
}

void commandHelp(const CommandSpec& syntax) {
    std::printf("usage: gc-token-ctl %s", syntax.name);
    for (const std::string& option : syntax.values) {
        const bool required =
            std::find(syntax.required.begin(), syntax.required.end(), option) != syntax.required.end();
        std::printf(required ? " %s VALUE" : " [%s VALUE]", option.c_str());
    }
    for (const std::string& flag : syntax.flags) std::printf(" [%s]", flag.c_str());
    std::printf("\n%s.\n\n%s", syntax.summary, syntax.help);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        usage(stdout);
        return 0;
    }
    for (const Command& command : kCommands) {
        if (name != command.syntax.name) continue;
        ctl::CommandLine line;
        std::string error;
        if (!line.parse(command.syntax, argc, argv, 2, &error)) {
            std::fprintf(stderr, "gc-token-ctl: %s: %s (see gc-token-ctl %s --help)\n", command.syntax.name,
                         error.c_str(), command.syntax.name);
            return 2;
        }
        if (line.helpAsked()) {
            commandHelp(command.syntax);
            return 0;
        }
        return command.run(line);
    }
    std::fprintf(stderr, "gc-token-ctl: unknown command %s\n", name.c_str());
    usage(stderr);
    return 2;
}
