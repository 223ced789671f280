#pragma once

#include <winscard.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Data/securevector.h"
#include "Reader/reader.h"

// The reader back-end over the PC/SC service. The PC/SC library is loaded at run time
// ("libpcsclite.so.1", or for tests and diagnosis the absolute path in the environment variable
// GC_PCSC_LIBRARY, which setuid and setgid processes ignore) and its functions are resolved by
// name; an object whose library could not be loaded completely answers every operation with -3.
class GC_ReaderPCSC : public GC_Reader {
public:
    // Function types of the PC/SC library.
    using SCardEstablishContext_t = decltype(&::SCardEstablishContext);
    using SCardReleaseContext_t = decltype(&::SCardReleaseContext);
    using SCardIsValidContext_t = decltype(&::SCardIsValidContext);
    using SCardConnect_t = decltype(&::SCardConnect);
    using SCardReconnect_t = decltype(&::SCardReconnect);
    using SCardDisconnect_t = decltype(&::SCardDisconnect);
    using SCardBeginTransaction_t = decltype(&::SCardBeginTransaction);
    using SCardEndTransaction_t = decltype(&::SCardEndTransaction);
    using SCardStatus_t = decltype(&::SCardStatus);
    using SCardGetStatusChange_t = decltype(&::SCardGetStatusChange);
    using SCardCancel_t = decltype(&::SCardCancel);
    using SCardControl132_t = decltype(&::SCardControl);  // with a control code
    using SCardControlOld_t = LONG (*)(SCARDHANDLE, const unsigned char*, DWORD, unsigned char*, LPDWORD);
    using SCardTransmit_t = decltype(&::SCardTransmit);
    using SCardListReaders_t = decltype(&::SCardListReaders);

    // Closes the PC/SC library when its handle goes.
    struct library_closer {
        void operator()(void* handle) const;
    };
    using library_handle = std::unique_ptr<void, library_closer>;

    // The implementation record.
    struct pcsc_data {
        SCARDCONTEXT hContext = 0;                                   // 0 = none
        SCARDHANDLE hCard = 0;                                       // 0 = no card connection
        static constexpr unsigned long long kFeatureDisplay = 0x01;  // the reader has a display
        static constexpr unsigned long long kFeaturePace = 0x20;     // the reader runs PACE
        unsigned long long features = 0;                             // kFeature... bits
        DWORD ctlExecutePace = 0;
        DWORD ctlVerifyPinDirect = 0;
        DWORD ctlVerifyPinStart = 0;
        DWORD ctlVerifyPinFinish = 0;
        DWORD ctlModifyPinDirect = 0;
        DWORD ctlModifyPinStart = 0;
        DWORD ctlModifyPinFinish = 0;
        DWORD ctlIfdPinProperties = 0;
        DWORD ctlGetTlvProperties = 0;
        std::string readerName;
        SecureVector<unsigned char> pacePassword;  // kept for restoring the reader's PACE channel
        int pacePasswordType = 0;
        bool channelUp = false;
        library_handle library;  // released last, after the context and the card connection
        SCardEstablishContext_t SCardEstablishContext = nullptr;
        SCardReleaseContext_t SCardReleaseContext = nullptr;
        SCardConnect_t SCardConnect = nullptr;
        SCardReconnect_t SCardReconnect = nullptr;
        SCardDisconnect_t SCardDisconnect = nullptr;
        SCardBeginTransaction_t SCardBeginTransaction = nullptr;
        SCardEndTransaction_t SCardEndTransaction = nullptr;
        SCardStatus_t SCardStatus = nullptr;
        SCardGetStatusChange_t SCardGetStatusChange = nullptr;
        SCardCancel_t SCardCancel = nullptr;
        SCardControlOld_t SCardControl = nullptr;
        SCardControl132_t SCardControl132 = nullptr;
        SCardTransmit_t SCardTransmit = nullptr;
        SCardListReaders_t SCardListReaders = nullptr;
        SCardIsValidContext_t SCardIsValidContext = nullptr;

        // Protocol negotiated by the last connect or reconnect (T=1 for adopted handles).
        DWORD activeProtocol = SCARD_PROTOCOL_T1;
        // Whether this object made the context and the card connection (and so releases them).
        bool ownsContext = false;
        bool ownsCard = false;
    };

    // Handle block of setParam and initCard: adopted as they are, never released by this object.
    struct handle_params {
        SCARDCONTEXT hContext;
        SCARDHANDLE hCard;
    };

    // EstablishPACEChannel input of PC/SC part 10 (amendment 1); the pointers are not owned.
    struct establish_pace_channel_input {
        unsigned char pinId = 0;  // 1 MRZ, 2 CAN, 3 PIN, 4 PUK
        size_t chatLength = 0;
        const unsigned char* chat = nullptr;
        size_t pinLength = 0;  // 0: the reader asks for the password on its keypad
        const unsigned char* pin = nullptr;
        size_t certificateDescriptionLength = 0;
        const unsigned char* certificateDescription = nullptr;
    };

    // EstablishPACEChannel output. Each length is the capacity of its buffer on entry and the
    // number of bytes copied on return; a null buffer is not filled.
    struct establish_pace_channel_output {
        uint32_t result = 0;
        size_t cardAccessLength = 0;
        unsigned char* cardAccess = nullptr;
        size_t recentCarLength = 0;
        unsigned char* recentCar = nullptr;
        size_t previousCarLength = 0;
        unsigned char* previousCar = nullptr;
        size_t idIccLength = 0;
        unsigned char* idIcc = nullptr;
    };

    GC_ReaderPCSC();
    ~GC_ReaderPCSC() override;
    GC_ReaderPCSC(const GC_ReaderPCSC&) = delete;
    GC_ReaderPCSC& operator=(const GC_ReaderPCSC&) = delete;

    int setParam(void* params) override;
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

    int establishContext();
    int releaseContext();
    void pnpServiceEnable();
    void pnpServiceDisable();
    void pnpServiceDetect();
    int initListReaders();
    void updateVectorOfAvaliableReaders(std::vector<SCARD_READERSTATE>& entries,
                                        std::vector<std::unique_ptr<std::string>>& names);
    int detectCardChanges();
    int detectReaderChanges();
    std::list<std::string> getListOfReaders(bool supportedOnly);
    static int isReaderInList(const std::list<std::string>& list, const std::string& name);

    // Appends the EstablishPACEChannel block for `input` to `out`. 0; -18; -19.
    static int transformPaceInput(const establish_pace_channel_input* input, std::vector<unsigned char>& out);
    // Parses the reader's EstablishPACEChannel output into `output`. 0; -9; -18; -19.
    static int transformPaceOutput(const std::vector<unsigned char>& in, establish_pace_channel_output* output);

    // The reader-state list shared by every object: the plug-and-play notification entry (when
    // enabled) at index 0, then the readers in the order the service lists them.
    static std::vector<SCARD_READERSTATE> readerStates;

    bool pnpEnabled = false;
    size_t firstReaderIndex = 0;
    std::unique_ptr<pcsc_data> data;

private:
    // The guards most operations open with, logged under `func`: no implementation record or no
    // library: -3 "Reader not intitialized"; with `needCard`, no card handle: -1 "Card handle is null".
    int checkReady(const char* func, bool needCard) const;
    // A needed PC/SC function is missing: -4 "Function not supported", logged under `func`.
    static int notSupported(const char* func);
    // The exchange used by the reader's own PIN entry and PACE: `in` as an APDU (controlCode 0)
    // or as a control block; `out` is sized by the caller and cut to what came back.
    int internalTransmit(const std::vector<unsigned char>& in, std::vector<unsigned char>& out,
                         unsigned int controlCode);
    // Sends one EXECUTE_PACE block and parses the reader's answer into `output`; a failure is
    // logged under `func` ("Failed internal transmit", "Cannot parse PACE output data").
    int paceExchange(const char* func, const std::vector<unsigned char>& block, establish_pace_channel_output& output);
    // Reader features (PIN entry, PACE, display, APDU size), asked on every initCard.
    void detectReaderFeatures();
    // One-byte window switch sent around every control exchange.
    int enableWindow(unsigned char value);
    // Drops the card connection this object holds (disconnecting it when it made it).
    void dropCard();
    // After a card that could not be reconnected: ends the card transaction and drops a connection
    // of our own.
    void releaseLostCard();
    // PIN entry on the pinpad around `apdu`: 0 = verify, 1 = change, 2 = unblock.
    int pinpadEntry(int operation, const std::vector<unsigned char>& apdu,
                    const std::shared_ptr<GC_Container>& container, std::vector<unsigned char>& response,
                    unsigned long timeout, unsigned long msgIndex);

    // Owns the name copies that the reader entries of readerStates point to.
    static std::vector<std::unique_ptr<std::string>> readerNames;
    // Guards readerStates and readerNames: listings and polls of different objects never overlap.
    static std::mutex readerStatesMutex;
};
