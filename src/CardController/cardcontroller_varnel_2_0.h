#pragma once

#include <memory>
#include <vector>

#include "CardController/cardcontroller_varnel.h"
#include "ec_params.h"

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

    // Generates the qualified container's key pair (cardcontroller_varnel_2_0_keys.cpp): key-pair
    // object 13 in AD FC DF 0C bound to the container's PIN, the curve loaded for an EC key, then
    // the generation, whose answer is the public key; the private key and (with a template) the
    // public key are registered in the layout and the caller gets them. A failure once the object
    // exists deletes it again (an object an earlier failed generation left behind makes way for
    // the new one). An RSA key whose modulus does not fit the usable answer size: -1913,
    // told to the companion, nothing sent.
    int generateKeyPair(std::shared_ptr<GC_Container>& container, GC_Object* privateTemplate, GC_Object* publicTemplate,
                        GC_Object** privateKey, GC_Object** publicKey) override;
    // Deletes the qualified container's key-pair object; one that is not there counts as deleted.
    int deleteKeys(std::shared_ptr<GC_Container>& container, GC_Object::key_type keyType);

    // The answer to the generation as DER: a modulus as PKCS#1 RSAPublicKey with exponent 65537, a
    // point on `curve` as SubjectPublicKeyInfo. Empty when there is nothing to convert (logged).
    static std::vector<unsigned char> convertPubKey(std::vector<unsigned char> modulus);
    static std::vector<unsigned char> convertPubKeyEC(std::vector<unsigned char> point, GC_EC_Params::ec_nid curve);

protected:
    // Only files have a size in the answer to their selection, not AD and DF directories.
    bool answersFileSize(const std::vector<uint8_t>& fid) const override;
    // AD (reference | F0) selectable in the container's application; the PUK is not tested, and a
    // PIN without length limits (or without PIN record) counts as active.
    int isActive(std::shared_ptr<GC_Container>& container) override;
    void beforePinStatus(GC_Container& container) override;
    bool pinDirectoryDeactivated(int status) const override;

    // The qualified container only (-1102 for others): key directory AD FC DF 0C, content file
    // AD FC DF 0C 57 83, object directory AD FC DF 0C 50 83.
    int keyPlaces(const char* func, const GC_Container& container, key_places& places) override;
    // AD (reference | F0).
    std::vector<uint8_t> pinDirectory(const GC_Container& container) const override;
    bool selectsApplicationFirst() const override;
    // A PUK and a PIN without length limits.
    bool alwaysActive(const GC_Container& container) const override;
    // Key-pair object 13.
    int deleteContainerKeys(const GC_Container& container) override;
    int deleteKeyMaterial(uint8_t keyReference, GC_Object::key_type keyType) override;
    // 13.
    uint8_t generatedKeyReference(const GC_Container& container) const override;
    // The key-pair object.
    void deleteLeftoverKey(uint8_t keyReference) override;

private:
    // One generation, as generateKeyPair describes it.
    int generateOnce(std::shared_ptr<GC_Container>& container, GC_Object* privateTemplate, GC_Object* publicTemplate,
                     GC_Object** privateKey, GC_Object** publicKey);
    // The reader collects PINs on its own keypad.
    bool pinpadReader(int& rc);
};
