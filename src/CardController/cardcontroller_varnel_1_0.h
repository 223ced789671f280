#pragma once

#include <memory>
#include <vector>

#include "CardController/cardcontroller_varnel.h"
#include "ec_params.h"

// The controller of the first generation of the identity card (Varnel 1.0, card operating
// system ChipDoc 2.0), recognised by its exact ATR. It reads the card's files through the PKCS#15
// layout; its PIN directories are DF (reference & 0F).
class GC_CardControllerVarnel_1_0 : public GC_CardControllerVarnel {
public:
    // Makes the ChipDoc 2.0 command set and the PKCS#15 layout.
    GC_CardControllerVarnel_1_0(GC_Controller* controller, bool sharedMode);
    ~GC_CardControllerVarnel_1_0() override;

    // The ATR of this generation ("VARNEL_1_0").
    static const atr_table& atr();
    // A controller of this generation when the session's card has its ATR; null otherwise.
    static std::unique_ptr<GC_CardController> checkController(GC_Controller* controller, bool sharedMode);

    // Not on this card: -1100.
    int performChipAuthentication() override;
    // 69 99 (applet selection failed) counts as a selection: 0, no application recorded.
    int selectAID(const std::vector<uint8_t>& aid, bool force) override;
    // The old PIN is verified first unless the PIN is verified already; the change then sends old
    // and new PIN.
    int performChangePassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& oldPin,
                              const std::vector<uint8_t>& newPin) override;

    // The card's containers (cardcontroller_varnel_1_0_discovery.cpp): the first generation keeps
    // its PKCS#15 structures at fixed places, without EF.DIR and ODF. Appends one container per
    // PIN of the signature application and one for the travel-document data to `containers`.
    int getContainers(std::vector<std::shared_ptr<GC_Container>>& containers) override;
    // The discovery itself: hands the signature and travel-document application records to the
    // layout in place of those of the discovery before and appends their containers (never
    // clears the list). 0 or the first failure; the signature containers stay when only the
    // travel-document list fails.
    int getPKCS15(std::vector<std::shared_ptr<GC_Container>>& containers);

    // Signs `data` on the card with the key (cardcontroller_signature.cpp).
    int signatureData(std::shared_ptr<GC_Container>& container, GC_PrivKeyObject* key, std::vector<uint8_t> data,
                      GC_Security::data_format format, GC_Security::padding_type padding,
                      std::vector<uint8_t>& out) override;

    // Generates a key pair in the key directory of the container's PIN label
    // (cardcontroller_varnel_1_0_keys.cpp): a private and a public half under the container's PIN
    // reference are created, generated into and the public half read back; the private key and
    // (with a template) the public key are then registered in the layout, and the caller gets
    // them. A failure once a half exists deletes the halves again; halves an earlier failed
    // generation left behind make way for the new ones.
    int generateKeyPair(std::shared_ptr<GC_Container>& container, GC_Object* privateTemplate, GC_Object* publicTemplate,
                        GC_Object** privateKey, GC_Object** publicKey) override;
    // Deletes one half of the container's key (reference: its PIN reference) in the key directory
    // of its PIN label (the application itself for a label of no known place); a half that is not
    // there counts as deleted.
    int deleteKey(std::shared_ptr<GC_Container>& container, GC_Object::key_type keyType, bool privateHalf);

    // The answer to the read of a public half (status word removed) as DER: an RSA key as PKCS#1
    // RSAPublicKey, an EC key on `curve` as SubjectPublicKeyInfo. Empty when the answer holds no
    // key (logged).
    static std::vector<unsigned char> convertPubKeyRSA(std::vector<unsigned char> answer);
    static std::vector<unsigned char> convertPubKeyEC(std::vector<unsigned char> answer, GC_EC_Params::ec_nid curve);

protected:
    // DF (reference & 0F) selectable in the container's application; the PUK (94) is not tested.
    int isActive(std::shared_ptr<GC_Container>& container) override;

    // By the first of Authentication, Presence, Authorization and Qualified in the PIN label: key
    // directory DF 0A, DF 08, DF 0B, DF 0C; content file 57 81, 57 88, 57 82, 57 83; object
    // directory 50 81, 50 88, 50 82, 50 83. Other labels have no places (never a failure).
    int keyPlaces(const char* func, const GC_Container& container, key_places& places) override;
    // DF (reference & 0F).
    std::vector<uint8_t> pinDirectory(const GC_Container& container) const override;
    bool selectsApplicationFirst() const override;
    // References 0C and 8C, each as RSA private, RSA public, EC private and EC public half.
    int deleteContainerKeys(const GC_Container& container) override;
    // The private half, then the public half (one already gone counts as deleted).
    int deleteKeyMaterial(uint8_t keyReference, GC_Object::key_type keyType) override;
    // The container's PIN reference.
    uint8_t generatedKeyReference(const GC_Container& container) const override;
    // The key commands address key material by the reference's low four bits.
    bool sameKeyMaterial(uint8_t entryReference, uint8_t reference) const override;
    // Every half, RSA and EC, private and public.
    void deleteLeftoverKey(uint8_t keyReference) override;

private:
    // One generation, as generateKeyPair describes it.
    int generateOnce(std::shared_ptr<GC_Container>& container, GC_Object* privateTemplate, GC_Object* publicTemplate,
                     GC_Object** privateKey, GC_Object** publicKey);
    // The travel-document part of getPKCS15: one data object per entry of the application's list
    // (and the document's SOD and COM when it names none), and their container.
    int readTravelDocument(std::vector<std::shared_ptr<GC_Container>>& containers);
};
