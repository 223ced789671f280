// cardsim-vpcd: serves one simulated card to the vpcd reader of a running pcscd.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "cardsim.h"
#include "vpcd_card.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: cardsim-vpcd [options]\n"
                 "  --personality generic|varnel1|varnel2   card to simulate (default varnel2)\n"
                 "  --port N                vpcd port of the slot (default 35963)\n"
                 "  --atr HEX               answer with this ATR instead of the personality's\n"
                 "  --can DIGITS            PACE CAN (default 123456)\n"
                 "  --puk VALUE             PUK (PIN object and PACE)\n"
                 "  --pin REF=VALUE         value of the PIN with reference REF (hex)\n"
                 "  --pace CIPHER:ID        PACEInfo of EF.CardAccess (3des|aes128|aes192|aes256, id 10-18);\n"
                 "                          repeatable, replaces the default aes128:13\n"
                 "  --deactivate REF        start with the directory of PIN REF (hex) deactivated\n"
                 "  --plain                 do not require secure messaging\n"
                 "  --wrong-can-6300        answer a wrong CAN with 63 00 instead of 69 82\n"
                 "  --destroy-aid           varnel1: the application A0000001674553494740 exists\n"
                 "  --max-command-size N    answer 67 00 to command APDUs longer than N bytes\n"
                 "  --data DIR              personalisation directory\n"
                 "  --log FILE              write the command log to FILE on exit\n");
}

bool parseByte(const std::string& text, uint8_t& out) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end || v > 0xFF) return false;
    out = static_cast<uint8_t>(v);
    return true;
}

bool parsePace(const std::string& text, cardsim::PaceInfo& out) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    const std::string cipher = text.substr(0, colon);
    if (cipher == "3des")
        out.cipher = cardsim::PaceCipher::Des3;
    else if (cipher == "aes128")
        out.cipher = cardsim::PaceCipher::Aes128;
    else if (cipher == "aes192")
        out.cipher = cardsim::PaceCipher::Aes192;
    else if (cipher == "aes256")
        out.cipher = cardsim::PaceCipher::Aes256;
    else
        return false;
    out.parameterId = std::atoi(text.c_str() + colon + 1);
    return out.parameterId >= 10 && out.parameterId <= 18;
}

void writeLog(const std::string& path, const cardsim::CardSim& card) {
    std::ofstream out(path);
    for (const cardsim::LogEntry& e : card.log()) {
        switch (e.kind) {
            case cardsim::LogEntry::Kind::PowerOn:
                out << "power on\n";
                break;
            case cardsim::LogEntry::Kind::PowerOff:
                out << "power off\n";
                break;
            case cardsim::LogEntry::Kind::Reset:
                out << "reset\n";
                break;
            case cardsim::LogEntry::Kind::Command:
                out << (e.secure ? "SM " : "   ") << cardsim::toHex(e.plainCommand) << " -> "
                    << cardsim::toHex(e.plainResponse) << "\n";
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    cardsim::CardConfig config;
    int port = 35963;
    std::string logPath;
    bool paceGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else if (arg == "--plain") {
            config.requireSecureMessaging = false;
            continue;
        } else if (arg == "--wrong-can-6300") {
            config.wrongCanStatus = 0x6300;
            continue;
        } else if (arg == "--destroy-aid") {
            config.destroyAidPresent = true;
            continue;
        } else if (!value(v)) {
            usage();
            return 2;
        }
        if (arg == "--personality") {
            const auto p = cardsim::parsePersonality(v);
            if (!p) {
                std::fprintf(stderr, "cardsim-vpcd: unknown personality %s\n", v.c_str());
                return 2;
            }
            config.personality = *p;
        } else if (arg == "--port") {
            port = std::atoi(v.c_str());
        } else if (arg == "--atr") {
            const auto atr = cardsim::fromHex(v);
            if (!atr || atr->empty()) return 2;
            config.atr = *atr;
        } else if (arg == "--can") {
            config.can = v;
        } else if (arg == "--puk") {
            config.puk = v;
        } else if (arg == "--pin") {
            const auto eq = v.find('=');
            uint8_t ref;
            if (eq == std::string::npos || !parseByte(v.substr(0, eq), ref)) return 2;
            config.pins[ref & 0x7F] = v.substr(eq + 1);
        } else if (arg == "--pace") {
            cardsim::PaceInfo info;
            if (!parsePace(v, info)) return 2;
            if (!paceGiven) config.pace.clear();
            paceGiven = true;
            config.pace.push_back(info);
        } else if (arg == "--deactivate") {
            uint8_t ref;
            if (!parseByte(v, ref)) return 2;
            config.deactivatedPins.insert(ref & 0x7F);
        } else if (arg == "--max-command-size") {
            config.maxCommandSize = static_cast<size_t>(std::atol(v.c_str()));
        } else if (arg == "--data") {
            config.dataDir = v;
        } else if (arg == "--log") {
            logPath = v;
        } else {
            usage();
            return 2;
        }
    }
    if (port <= 0 || port > 65535) return 2;

    cardsim::CardSim card(config);
    if (!card.ok()) {
        std::fprintf(stderr, "cardsim-vpcd: %s\n", card.error().c_str());
        return 1;
    }
    // SIGTERM and SIGINT are taken synchronously; the serving thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    cardsim::VpcdCard vpcd(card, port);
    if (!vpcd.start(/*exitOnClose=*/true)) return 1;
    std::fprintf(stderr, "cardsim-vpcd: %s card on port %d\n", cardsim::personalityName(config.personality), port);
    const timespec slice{0, 200 * 1000 * 1000};
    while (vpcd.running()) {
        if (sigtimedwait(&signals, nullptr, &slice) > 0) break;
    }
    vpcd.stop();
    if (!logPath.empty()) writeLog(logPath, card);
    return 0;
}
