#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Reader/reader.h"
#include "platform/ctk_smartcard.h"

// The reader back-end over the platform's smart-card slots: a slot is a reader, a card object of
// the slot is the card, a card session is the lock. Each asynchronous platform reply is turned
// into a synchronous result by waiting, without a time-out, on a semaphore of that one request.
// All per-reader state lives in one process-wide registry of slot records; an object holds only
// the name it is bound to and looks its record up on every call.
class GC_ReaderCTK : public GC_Reader {
public:
    // One record per slot name.
    struct reader_data {
        ~reader_data();

        std::shared_ptr<ctk::Slot> slot;       // from the last lookup; null when the slot is gone
        std::shared_ptr<ctk::SmartCard> card;  // made by initCard
        std::string slotName;                  // as the slot manager gives it
        int slotState = 0;                     // ctk::SlotState at the last lookup (4 = valid card)
        bool inSession = false;                // a card session begun by lock is open
        std::string name;                      // UTF-8 slot name; the key of the record
        std::vector<unsigned char> atr;        // slot ATR at the last lookup
        long long cardState = 0;               // 2 valid card, 1 none, 0 not yet classified
        std::mutex mutex;                      // guards the fields above
    };

    GC_ReaderCTK();
    ~GC_ReaderCTK() override;

    int lock() override;
    int unlock() override;
    int sendAPDU(std::vector<unsigned char> apdu, std::vector<unsigned char>& response, unsigned long le) override;
    int performSecureConnection(std::vector<unsigned char> password, int type) override;
    int restoreSecureConnection() override;
    int destroySecureConnection() override;
    int verifyPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                       std::vector<unsigned char>& response, unsigned long timeout, unsigned long msgIndex) override;
    int changePassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                       std::vector<unsigned char>& response, unsigned long timeout, unsigned long msgIndex) override;
    int unblockPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                        std::vector<unsigned char>& response, unsigned long timeout, unsigned long msgIndex) override;
    int state(int& status, int timeout) override;
    std::list<std::string> getReadersList(bool supportedOnly) override;
    std::string getReaderName() override;
    int init(std::string name) override;
    int initCard(bool shared, void* params) override;
    bool isPinpad() override;
    bool isLocked() override;
    int getCardATR(std::vector<unsigned char>& atr) override;

    // Synchronises the registry with the slot manager: 0, or -1 when there is no slot manager.
    int detectReaderChanges();
    // Reclassifies every record that has a slot; always 0.
    int detectCardChanges();
    // The record of that name (exact match), or null.
    std::shared_ptr<reader_data> findReader(const std::string& name);
    // Maps a platform error to a reader code; no error counts as an unknown failure (-1).
    static int convertError(const std::optional<ctk::Error>& error);
    // One raw transmission, waited for; `le` is not used.
    int sendAPDU_with_sema(std::shared_ptr<reader_data> record, std::vector<unsigned char> apdu,
                           std::vector<unsigned char>& response, unsigned long le);
    // One structured send (instruction, parameters, data, Le taken apart from the APDU), synchronous.
    int sendAPDU_without_sema(std::shared_ptr<reader_data> record, std::vector<unsigned char> apdu,
                              std::vector<unsigned char>& response, unsigned long le);

    // The registry shared by every object; entries keep their order, new slots are appended.
    static std::vector<std::shared_ptr<reader_data>> readers;
    // Command APDUs sent since the last initCard (shown in the structured-send log line).
    static std::atomic<unsigned long> apduNr;

private:
    // The bound record and its card object, as lock, unlock and sendAPDU need them: kOk, or
    // kNotInitialized with an error line under func ("Reader not intitialized", or noCardText
    // when the record has no card object).
    int recordAndCard(const char* func, const char* noCardText, std::shared_ptr<reader_data>& record,
                      std::shared_ptr<ctk::SmartCard>& card);

    std::string name;
};

// One slot lookup for one record, waited for; does nothing for an empty record pointer.
void updateReaderState(const std::shared_ptr<ctk::SlotManager>& manager,
                       const std::shared_ptr<GC_ReaderCTK::reader_data>& record);
