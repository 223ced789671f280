// The PACE run over the card session: the password, EF.CardAccess, MSE:Set AT and the four
// chained General Authenticate commands, each step one function; the computations are GC_Pace's.
#include "CardController/Protocols/pacecontroller.h"

#include <type_traits>

#include "Controller/controller.h"
#include "Data/wipe.h"
#include "Protocols/pacev2.h"
#include "logger.h"

namespace {

constexpr const char* kLogFile = "CardController/Protocols/pacecontroller";
constexpr unsigned long kLogMask = gc_log::kPaceController;
constexpr unsigned long kErrMask = gc_log::kPaceController | gc_log::kError;

static_assert(std::is_same_v<GC_PaceController::scalar_source, GC_Pace::scalar_source>,
              "the run hands its scalar source to GC_Pace as it is");

using Bytes = std::vector<unsigned char>;
using params_t = GC_PaceController::pace_params;
constexpr int kFailed = GC_PaceController::kFailed;
constexpr int kBadArgument = GC_PaceController::kBadArgument;

const Bytes kMasterFile{0x3F, 0x00};
const Bytes kCardAccess{0x01, 0x1C};
// The MRZ hash a run keeps for a restore (SHA-1); an MRZ text is never this short.
constexpr size_t kMrzHashLength = 20;

// One answer of the card: the data and the status word apart.
struct Answer {
    Bytes data;
    unsigned char sw1 = 0;
    unsigned char sw2 = 0;
    bool ok() const { return sw1 == 0x90 && sw2 == 0x00; }
};

// Sends one command of the run, always in plain: never wrapped in the keys of another channel,
// not even of one that a restore nested in this run has opened, nor in the keys this run has
// emptied. 0, or the transport's code; an answer without a whole status word is -1913, never read.
int exchange(GC_Controller* controller, const Bytes& command, unsigned long le, Answer& answer) {
    Bytes response;
    if (const int rc = controller->sendApdu(command, response, le, false); rc != 0) return rc;
    if (response.size() < 2) return -1913;
    answer.sw1 = response[response.size() - 2];
    answer.sw2 = response.back();
    response.resize(response.size() - 2);
    answer.data = std::move(response);
    return 0;
}

// A short command: header, Lc and data (at most 255 bytes), and Le 00 when an answer is due.
Bytes shortCommand(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2, const Bytes& data,
                   bool answer) {
    Bytes command;
    command.reserve(data.size() + 6);
    for (unsigned char b : {cla, ins, p1, p2, static_cast<unsigned char>(data.size())}) command.push_back(b);
    command.insert(command.end(), data.begin(), data.end());
    if (answer) command.push_back(0x00);
    return command;
}

// General Authenticate with its dynamic authentication data; every step but the last is chained.
Bytes generalAuthenticate(bool last, const Bytes& data) {
    return shortCommand(last ? 0x00 : 0x10, 0x86, 0x00, 0x00, data, true);
}

// Step 3: the password as GC_Pace takes it. An MRZ text becomes the hash of its document
// number, birth and expiry fields; the hash itself (a restore) is taken as it is, not hashed again.
int checkPassword(GC_Pace& pace, params_t* params, const SecureVector<unsigned char>& secret, int type) {
    if (type == 1 && secret.size() != kMrzHashLength) {
        SecureVector<unsigned char> mrz = secret;
        if (const int rc = pace.calculateMRZInfo(mrz); rc != 0)
            return GC_FAIL(kErrMask, kBadArgument, "Calculate MRZ INFO | error: %d", rc);
        if (const int rc = pace.verifySecret(params, mrz, type); rc != 0)
            return GC_FAIL(kErrMask, kBadArgument, "Error when verify secret type and length | error: %d", rc);
        return 0;
    }
    if (const int rc = pace.verifySecret(params, secret, type); rc != 0)
        return GC_FAIL(kErrMask, kBadArgument, "Error when verify secret type and length | error: %d", rc);
    return 0;
}

// Steps 4 to 6: the MF, EF.CardAccess whole, and the strongest protocol it offers. The file is
// read in plain, so the companion may keep a copy damaged on its way from the card: a copy that
// offers no protocol is dropped and the file read from the card once more.
int readCardAccess(GC_Controller* controller, GC_Pace& pace, params_t* params) {
    if (const int rc = controller->select(kMasterFile, nullptr, {}, true); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when select Master File | error: %d", rc);
    for (int attempt = 0;; ++attempt) {
        Bytes cardAccess;
        if (const int rc = controller->read(cardAccess, kMasterFile, kCardAccess, 0, 0, nullptr, true, true,
                                            GC_Controller::READ_SELECT, {});
            rc != 0)
            return GC_FAIL(kErrMask, kFailed, "Error when read Card Access | error: %d", rc);
        if (pace.selectPaceParams(params, cardAccess) == 0) return 0;
        controller->forgetCachedFile(kMasterFile, kCardAccess);
        if (attempt > 0) return GC_FAIL(kErrMask, kFailed, "Error when select pace param | error: ");
    }
}

// Step 7: MSE:Set AT with the protocol, the password type and the domain parameters.
int setAuthenticationTemplate(GC_Controller* controller, GC_Pace& pace, params_t* params) {
    Bytes data;
    if (const int rc = pace.mseSet(params, data); rc != 0 || data.size() > 0xFF)
        return GC_FAIL(kErrMask, kFailed, "Error when create Mse Set command | error: %d", rc);
    Answer answer;
    if (const int rc = exchange(controller, shortCommand(0x00, 0x22, 0xC1, 0xA4, data, false), 0, answer); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when send Mse Set | error: %d", rc);
    // 63 Cx: the card reports a reduced retry counter of the password, and goes on.
    const bool accepted = answer.ok() || (answer.sw1 == 0x63 && (answer.sw2 & 0xCF) != 0);
    if (!accepted)
        return GC_FAIL(kErrMask, kFailed, "Error in Mse Set | Wrong SW | SW1:%2x SW2:%2x", answer.sw1, answer.sw2);
    return 0;
}

// Step 8: the encrypted nonce.
int getNonce(GC_Controller* controller, GC_Pace& pace, params_t* params) {
    Answer answer;
    if (const int rc = exchange(controller, generalAuthenticate(false, {0x7C, 0x00}), 0, answer); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when send Get encrypted nonce | error: %d", rc);
    if (!answer.ok())
        return GC_FAIL(kErrMask, kFailed, "Error in Get encrypted nonce | Wrong SW | SW1:%2x SW2:%2x", answer.sw1,
                       answer.sw2);
    if (const int rc = pace.decryptNonce(params, answer.data); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error decrypt nonce | error: %d", rc);
    return 0;
}

// Step 9: the mapping keys, and the mapped generator.
int mapNonce(GC_Controller* controller, GC_Pace& pace) {
    Bytes data;
    if (const int rc = pace.prepareMappingNonce(data); rc != 0 || data.size() > 0xFF)
        return GC_FAIL(kErrMask, kFailed, "Error in prepare map nonce | error: %d", rc);
    Answer answer;
    if (const int rc = exchange(controller, generalAuthenticate(false, data), data.size(), answer); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when send prepare map nonce | error: %d", rc);
    if (!answer.ok())
        return GC_FAIL(kErrMask, kFailed, "Error in prepare map nonce | Wrong SW | SW1:%2x SW2:%2x | error: %d",
                       answer.sw1, answer.sw2, 0);
    if (const int rc = pace.mappingNonce(answer.data); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error in map nonce | error: %d", rc);
    return 0;
}

// Step 10: the ephemeral keys, the shared secret and the session keys with a zero counter.
int agreeKeys(GC_Controller* controller, GC_Pace& pace, params_t* params) {
    Bytes data;
    if (const int rc = pace.prepareKeyAgreement(data); rc != 0 || data.size() > 0xFF)
        return GC_FAIL(kErrMask, kFailed, "Error in key agrement | error: %d", rc);
    Answer answer;
    if (const int rc = exchange(controller, generalAuthenticate(false, data), data.size(), answer); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when send key agrement | error: %d", rc);
    if (!answer.ok())
        return GC_FAIL(kErrMask, kFailed, "Error in key agrement | Wrong SW | SW1:%2x SW2:%2x", answer.sw1, answer.sw2);
    if (const int rc = pace.keyAgreement(answer.data); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error in key agrement | error: %d", rc);
    if (const int rc = pace.calculateKey(params); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error in Calculate KEY | error: %d", rc);
    return 0;
}

// Step 11: the authentication tokens, the last command of the chain.
int authenticate(GC_Controller* controller, GC_Pace& pace, params_t* params) {
    Bytes data;
    if (const int rc = pace.calculateToken(params, data); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error in Calculate token | error: %d", rc);
    Answer answer;
    if (const int rc = exchange(controller, generalAuthenticate(true, data), 0, answer); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error when send Mutual Authenticate | error: %d", rc);
    if (!answer.ok())
        return GC_FAIL(kErrMask, kFailed, "Error in Mutual Authenticate | Wrong SW | SW1:%2x SW2:%2x ", answer.sw1,
                       answer.sw2);
    if (const int rc = pace.verifyToken(answer.data, params); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error in verify token | error: %d", rc);
    return 0;
}

}  // namespace

int GC_PaceController::performPACE(GC_Controller* controller, const SecureVector<unsigned char>& secret, const int type,
                                   pace_params* params) {
    return performPACE(controller, secret, type, params, scalar_source{});
}

int GC_PaceController::performPACE(GC_Controller* controller, const SecureVector<unsigned char>& secret, const int type,
                                   pace_params* params, scalar_source source) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kBadArgument, "Controller is nullptr");
    if (params == nullptr) return GC_FAIL(kErrMask, kBadArgument, "Parrams is nullptr");
    // The password may be the kept one itself: the check reads it before it is replaced.
    const SecureVector<unsigned char> password = secret;
    params->secret.clear();
    GC_Pace pace(std::move(source));
    if (const int rc = checkPassword(pace, params, password, type); rc != 0) return rc;
    if (const int rc = readCardAccess(controller, pace, params); rc != 0) return rc;
    if (const int rc = setAuthenticationTemplate(controller, pace, params); rc != 0) return rc;
    if (const int rc = getNonce(controller, pace, params); rc != 0) return rc;
    if (const int rc = mapNonce(controller, pace); rc != 0) return rc;
    if (const int rc = agreeKeys(controller, pace, params); rc != 0) return rc;
    if (const int rc = authenticate(controller, pace, params); rc != 0) return rc;
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Security channel establish succesfully");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}

int GC_PaceController::restorePACE(GC_Controller* controller, pace_params* params) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (controller == nullptr) return GC_FAIL(kErrMask, kBadArgument, "Controller is nullptr");
    if (params == nullptr) return GC_FAIL(kErrMask, kBadArgument, "Params is nullptr");
    // The session takes the password as a std::vector: a copy that is wiped here.
    GC_WipedBuffer secret(params->secret);
    const int type = params->secretType;
    if (const int rc = controller->destroySecureConnection(); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error in destroy PACE | error: %d", rc);
    if (const int rc = controller->performSecureConnection(secret.v, type); rc != 0)
        return GC_FAIL(kErrMask, kFailed, "Error in Perform PACE | error: %d", rc);
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Security channel restore succesfully");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, kOk);
    return kOk;
}
