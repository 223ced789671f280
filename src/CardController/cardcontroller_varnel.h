#pragma once

#include <memory>
#include <vector>

#include "CardController/Protocols/pacecontroller.h"
#include "CardController/cardcontroller.h"

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
    // The PIN state of each container with a PIN record (through the session's verification, so
    // that the companion's tries-left entries follow), and whether its PIN directory can be
    // selected. The result is the last selection test's.
    int statusContainers(std::vector<std::shared_ptr<GC_Container>>& list) override;

protected:
    // `applicationAid`: the application whose plain selection ends secure messaging.
    GC_CardControllerVarnel(GC_Controller* controller, std::shared_ptr<GC_Card> card, bool sharedMode,
                            std::vector<uint8_t> applicationAid);

    // Identifiers that start with DF are directories.
    bool selectsDirectory(const std::vector<uint8_t>& fid) const override;

    // Whether the container's PIN directory can be selected: sets or clears the active flag.
    virtual int isActive(std::shared_ptr<GC_Container>& container) = 0;
    // The status query of a PIN about to be asked (the second generation counts it active first).
    virtual void beforePinStatus(GC_Container& /*container*/) {}
    // Whether the status query's answer says the PIN's directory is deactivated.
    virtual bool pinDirectoryDeactivated(int /*status*/) const { return false; }
    // The selection test of isActive: the container's application, then `directory`.
    int selectPinDirectory(std::shared_ptr<GC_Container>& container, const std::vector<uint8_t>& directory);

    // Session keys, counter and algorithm of the secure channel, and the PACE secret kept for a
    // restore; all empty until PACE runs.
    GC_PaceController::pace_params paceParams;
    const std::vector<uint8_t> applicationAid;
};
