#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "CardController/Protocols/pacecontroller.h"
#include "CardController/cardcontroller.h"
#include "Data/Objects/object.h"

class GC_DataPKCS15;

// What the two generations of the identity card (Varnel 1.0 and Varnel 2.0) share: the secure
// channel (PACE with the card, then every command under secure messaging with the session keys
// kept here), the read of one whole TLV of a file, a PIN verification that first reopens a lost
// channel, and the PIN state of containers with the selection test of their PIN directories.
class GC_CardControllerVarnel : public GC_CardController {
public:
    ~GC_CardControllerVarnel() override;

    // Reads the TLV that starts at `offset` of a file and must begin with `tag`, whole: tag, length
    // (after the whole tag; at most 3 length bytes) and value. -1506 when the file has no such TLV there.
    int readEx(std::vector<uint8_t>& out, const std::vector<uint8_t>& aid, const std::vector<uint8_t>& path,
               size_t offset, bool selectApplication, bool selectPath, std::vector<uint8_t> tag) override;

    // PACE with the card (any failure -1100); the restore runs it again with the kept password.
    int performSecureConnection(const SecureVector<unsigned char>& secret, const int& type) override;
    int restoreSecureConnection() override;
    // Ends secure messaging by a plain selection of the generation's application (the card
    // manager in between when that fails).
    int destroySecureConnection() override;
    // Secure messaging of one command and its answer; its codes (-3000 to -3009, 17) unchanged.
    int encryptApdu(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) override;
    int decryptApdu(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) override;

    // Without a channel the channel is reopened and the PIN's directory selected again first; a
    // VERIFY that carries the PIN is not sent when the channel cannot be reopened (-1701).
    int verifyPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                       bool statusOnly) override;
    // CHANGE REFERENCE DATA and RESET RETRY COUNTER carry PINs as well: the same. A reopened
    // channel is a new PACE, so the card has forgotten what was verified under the old one.
    int changePassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& oldPin,
                       const std::vector<uint8_t>& newPin) override;
    int unblockPassword(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin,
                        bool setNew) override;
    // The PIN state of each container with a PIN record (through the session's verification, so
    // that the companion's tries-left entries follow), and whether its PIN directory can be
    // selected. The result is the last selection test's.
    int statusContainers(std::vector<std::shared_ptr<GC_Container>>& list) override;

    // --- Containers, objects and keys on the card ---
    // Every operation needs the container's own PIN record (-1102). The container's places on the
    // card follow the label of its PIN (the PKCS#15 layout's PIN entry), not its display name.

    // Activation and initialisation serve the qualified container only (its PIN label holds
    // "Qualified"; -1102 otherwise). Activation: when the card reports the PIN's directory
    // deactivated, ACTIVATE it and set `pin` as the new PIN through the session's unblock. Once
    // ACTIVATE went through, activating again in this session only sets the PIN; a directory
    // active otherwise sets the active flag and gives -2200 (its PIN is set by unblock).
    // (cardcontroller_varnel_containers.cpp)
    int activeContainer(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin) override;
    // Overwrites the object directory file and the certificate file with zeros, deletes the
    // container's key material and, when both files were written, takes the objects out of the
    // layout and the container. A failed key deletion (a key that was not there is none) is
    // returned after that; `data` is not used.
    int initContainer(std::shared_ptr<GC_Container>& container, std::vector<uint8_t> data) override;

    // (cardcontroller_varnel_objects.cpp) Places the object by the container's places (private
    // keys in the key directory, public keys and certificates in the content file; data objects
    // nowhere) and has the layout write its entry; `out` gets the layout's object.
    int createObject(std::shared_ptr<GC_Container>& container, GC_Object* templ, GC_Object** out) override;
    // Has the layout remove the object (it is destroyed, and leaves the container's list with it),
    // then deletes a private key's material on the card. With force the key material goes also
    // when the layout failed; the layout's code is returned all the same.
    int deleteObject(std::shared_ptr<GC_Container>& container, GC_Object* object, bool force) override;

protected:
    // Where a container keeps its keys and objects on the card.
    struct key_places {
        // false: the generation knows no places for the container (objects keep the caller's
        // path, the object directory path is empty).
        bool known = false;
        std::vector<uint8_t> keyDirectory;     // the DF of the key material (private keys' path)
        std::vector<uint8_t> contentPath;      // the file of public keys and certificates
        std::vector<uint8_t> objectDirectory;  // the object directory file of new entries
    };
    // The container's places by its PIN label; 0, or -1102 (logged under `func`) when the
    // generation serves no such container.
    virtual int keyPlaces(const char* func, const GC_Container& container, key_places& places) = 0;
    // The directory of the container's PIN (selected to tell whether it is active, activated).
    virtual std::vector<uint8_t> pinDirectory(const GC_Container& container) const = 0;
    // Whether the key and object operations select the application anew before the key
    // directory (and initialisation before the object directory file).
    virtual bool selectsApplicationFirst() const = 0;
    // Whether the container's PIN counts as active whatever the card says (activation does nothing).
    virtual bool alwaysActive(const GC_Container& /*container*/) const { return false; }
    // Deletes the key material that initialisation removes from the key directory just selected.
    // Every deletion is tried; 0 (a key that is not there counts as deleted) or the first failure.
    virtual int deleteContainerKeys(const GC_Container& container) = 0;
    // Deletes the material of one private key (reference and key type as its object had them) in
    // the key directory just selected. 0 or the failure.
    virtual int deleteKeyMaterial(uint8_t keyReference, GC_Object::key_type keyType) = 0;

    // The label of the PKCS#15 PIN entry of the container's PIN record; empty when the layout
    // has none.
    std::string pinLabel(const GC_Container& container);
    // The PKCS#15 layout both generations read the card with.
    GC_DataPKCS15* layout() const;
    // Sends a command of the key and object operations (under the channel) and checks its answer
    // as `op`; `response` gets the data without the status word. `transport` is set when the
    // exchange itself failed: the result is then the transport's code.
    int keyCommand(const std::vector<uint8_t>& command, GC_Card::operation op, std::vector<uint8_t>& response,
                   bool& transport);

    // Where a DELETE of key material failed.
    enum class delete_stage { done, build, send, answer };
    // One DELETE of key material in the selected key directory (the caller logs by `stage`). 0,
    // or -1100 (not buildable), -1807 or -1100 (transport), the answer's code.
    int deleteKeyHalf(uint8_t keyReference, GC_Object::key_type keyType, bool privateHalf, delete_stage& stage);
    // The key-pair generation's last step: the public-key template (when given) takes the
    // container's content path and PIN reference and imports `publicKey` (the card's answer as
    // DER; empty or unimportable: -1100), then the private key and the public key are registered
    // in the layout's object directory of `places`. When the public key cannot be registered, the
    // private one is taken out again. 0, -1100 or the layout's code.
    int registerKeyPair(std::shared_ptr<GC_Container>& container, const key_places& places, GC_Object* privateTemplate,
                        GC_Object* publicTemplate, const std::vector<uint8_t>& publicKey, GC_Object** privateOut,
                        GC_Object** publicOut);
    // The reference under which the generation keeps the container's generated key.
    virtual uint8_t generatedKeyReference(const GC_Container& container) const = 0;
    // Deletes one half of the container's generated key in its key directory, to take back a
    // generation; a half that is not there counts as deleted, and a channel lost on the way is
    // reopened once. 0 or the failure, logged under `func`.
    int deleteGeneratedKey(const char* func, std::shared_ptr<GC_Container>& container, GC_Object::key_type keyType,
                           bool privateHalf);
    // One generation by `attempt`. Key material that an earlier generation left at the reference
    // (the card pulled, or the channel lost, before its rollback) makes the card refuse to create
    // the key; when the container lists no private key and the card's private-key directory, read
    // now, has no entry for the reference, that material is nobody's: it is deleted and the
    // attempt made once more. Otherwise the card's refusal is the result.
    int generateOverLeftovers(std::shared_ptr<GC_Container>& container, const std::function<int()>& attempt);
    // Reads the container's private-key directory from the card itself (never a cached copy) and
    // tells whether an entry names the key material at `reference`. 0 once every part of it was
    // read and understood, or the failure.
    int keyListedOnCard(std::shared_ptr<GC_Container>& container, const key_places& places, uint8_t reference,
                        bool& listed);
    // Whether a private-key entry's reference names the key material at `reference` on the card.
    virtual bool sameKeyMaterial(uint8_t entryReference, uint8_t reference) const {
        return entryReference == reference;
    }
    // Deletes every kind of key material at the generated key's reference in the key directory
    // just selected; what is not there counts as deleted.
    virtual void deleteLeftoverKey(uint8_t keyReference) = 0;
    // The last step of activation: `pin` set as the new PIN through the session's unblock. 0 or
    // the unblock's code.
    int installActivatedPin(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& pin);
    // The guards of activation and initialisation: session, command set, container, its PIN record
    // and a PIN label that holds "Qualified" (-1102). 0 or the failure, logged under `func`.
    int qualifiedGuards(const char* func, std::shared_ptr<GC_Container>& container);
    // Overwrites file `path` of the container's application with as many zero bytes as it holds
    // (`name` for the log). 0, or the select's or the update's code.
    int zeroFile(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& path, bool force,
                 const char* name);
    // The guards of key-pair generation: session, command set, container and private-key template
    // (-1100); the container's PIN record, templates of the right types, a place for each object
    // the caller is to get and a key the cards make (-1102). 0 with the command sets' key type of
    // the template (0 RSA, any key type but EC counting as RSA, or the curve's row), or the
    // failure, logged under `func`.
    int keyPairGuards(const char* func, const std::shared_ptr<GC_Container>& container,
                      const GC_Object* privateTemplate, const GC_Object* publicTemplate, GC_Object** privateOut,
                      GC_Object** publicOut, GC_Card::key_type& type) const;

    // `applicationAid`: the application whose plain selection ends secure messaging.
    GC_CardControllerVarnel(GC_Controller* controller, std::shared_ptr<GC_Card> card, bool sharedMode,
                            std::vector<uint8_t> applicationAid);

    // Identifiers that start with DF are directories.
    bool selectsDirectory(const std::vector<uint8_t>& fid) const override;

    // Whether the container's PIN directory can be selected: sets the active flag, or clears it
    // when the card says the directory is deactivated (marking that too) or absent.
    virtual int isActive(std::shared_ptr<GC_Container>& container) = 0;
    // The status query of a PIN about to be asked (the second generation counts it active first).
    virtual void beforePinStatus(GC_Container& /*container*/) {}
    // Whether the status query's answer says the PIN's directory is deactivated.
    virtual bool pinDirectoryDeactivated(int /*status*/) const { return false; }
    // The selection test of isActive: the container's application, then `directory`.
    int selectPinDirectory(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& directory);
    // Before a PIN command of `func`: a channel that is down is reopened and the PIN's directory
    // selected again. 0, or -1701 when it cannot be reopened and the command would carry a PIN
    // (`carriesPin`) in plain.
    int pinUnderChannel(const char* func, std::shared_ptr<GC_Container>& container, bool carriesPin);

    // Session keys, counter and algorithm of the secure channel, and the PACE secret kept for a
    // restore; all empty until PACE runs.
    GC_PaceController::pace_params paceParams;
    const std::vector<uint8_t> applicationAid;
    // A key command was refused because the object it was to create stands on the card (6A 89).
    bool keyObjectFound = false;
    // The PIN directory this session sent ACTIVATE for, until its new PIN is set: ACTIVATE cannot
    // be undone, so only the PIN is left to do.
    struct activated_pin {
        std::vector<uint8_t> aid;
        uint8_t reference = 0;
    };
    std::optional<activated_pin> pinToSet;
};
