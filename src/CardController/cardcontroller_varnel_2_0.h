#pragma once

#include <memory>

#include "CardController/cardcontroller_varnel.h"

// The controller of the second generation of the identity card (Varnel 2.0, card operating
// system ChipDoc 3.0), recognised by its exact ATR. It reads the card's files through the PKCS#15
// layout; its PIN directories are AD (reference | F0). On a pinpad reader the PUK is verified by
// PACE with the PUK as password; a PIN is changed and unblocked in two commands.
class GC_CardControllerVarnel_2_0 : public GC_CardControllerVarnel {
public:
    // Makes the ChipDoc 3.0 command set and the PKCS#15 layout.
    GC_CardControllerVarnel_2_0(GC_Controller* controller, bool sharedMode);
    ~GC_CardControllerVarnel_2_0() override;

    // The ATR of this generation ("VARNEL_2_0").
    static const atr_table& atr();
    // A controller of this generation when the session's card has its ATR; null otherwise.
    static std::unique_ptr<GC_CardController> checkController(GC_Controller* controller, bool sharedMode);

    // Nothing to send: 0.
    int performChipAuthentication() override;
    // 1A DF names the travel-document application (A0 00 00 02 47 10 01).
    int selectAID(const std::vector<uint8_t>& aid, bool force) override;

    // -1109 for the PUK on a pinpad reader: verified by PACE, not by VERIFY.
    int performVerifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                              bool statusOnly) override;
    int verifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                       bool statusOnly) override;
    // The PUK's PACE session on a pinpad reader ends by closing the channel.
    int logoutPassword(std::shared_ptr<GC_Container>& container) override;
    // The old PIN is verified first, always; the change then carries the new PIN only.
    int performChangePassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& oldPin,
                              const std::vector<uint8_t>& newPin) override;
    int getChangePasswordCommand(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& command,
                                 const std::vector<uint8_t>& oldPin, const std::vector<uint8_t>& newPin) override;
    // Sends RESET RETRY COUNTER without data itself; with setNew `command` becomes the CHANGE
    // REFERENCE DATA that sets the new PIN, else it stays empty.
    int getUnblockPasswordCommand(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& command,
                                  const std::vector<uint8_t>& pin, bool setNew) override;
    // A pinpad failure (`previous`) leaves the PIN blocked as it was before the reset: three
    // verifications with a PIN of FF bytes, then -2320.
    int checkUnblockPassword(std::shared_ptr<GC_Container>& container, std::vector<uint8_t>& response, long previous,
                             bool setNew) override;

    // Signs `data` on the card with the key (cardcontroller_signature.cpp).
    int signatureData(std::shared_ptr<GC_Container>& container, GC_PrivKeyObject* key, std::vector<uint8_t> data,
                      GC_Security::data_format format, GC_Security::padding_type padding,
                      std::vector<uint8_t>& out) override;

protected:
    // Only files have a size in the answer to their selection, not AD and DF directories.
    bool answersFileSize(const std::vector<uint8_t>& fid) const override;
    // AD (reference | F0) selectable in the container's application; the PUK is not tested, and a
    // PIN without length limits (or without PIN record) counts as active.
    int isActive(std::shared_ptr<GC_Container>& container) override;
    void beforePinStatus(GC_Container& container) override;
    bool pinDirectoryDeactivated(int status) const override;

private:
    // The reader collects PINs on its own keypad.
    bool pinpadReader(int& rc);
};
