#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

class GC_Container;

// Result codes of the reader layer, shared by every back-end. 0 is success.
namespace gc_reader {
inline constexpr int kOk = 0;
inline constexpr int kFailed = -1;              // a platform call failed; unknown platform error
inline constexpr int kBeginTransaction = -2;    // the card transaction could not be begun
inline constexpr int kNotInitialized = -3;      // no reader record, no library, no card object
inline constexpr int kNotSupported = -4;        // missing function or feature
inline constexpr int kEndTransaction = -5;      // the card transaction could not be ended
inline constexpr int kTransmit = -6;            // transmission failed
inline constexpr int kPaceType = -7;            // PACE password of an invalid type
inline constexpr int kPaceEmpty = -8;           // empty PACE password with a type other than CAN
inline constexpr int kUnknownData = -9;         // unknown or unparsable data from the reader
inline constexpr int kPaceStep = -10;           // a PACE step failed inside the reader
inline constexpr int kCardRemoved = -11;        // card removed or communication aborted
inline constexpr int kNoCard = -12;             // no card present or the card object is not valid
inline constexpr int kCancelled = -13;          // cancelled by the user
inline constexpr int kTimeout = -14;            // pinpad or in-reader PACE time-out
inline constexpr int kEmptyName = -16;          // empty reader name
inline constexpr int kNotInList = -17;          // reader not listed, not found or not bound
inline constexpr int kBadArgument = -18;        // bad argument
inline constexpr int kBufferTooSmall = -19;     // buffer too small for the reader's PACE data
inline constexpr int kStateTimeout = -21;       // time-out while waiting for reader state changes
inline constexpr int kPinMismatch = -22;        // the two PIN entries on the pinpad differ
inline constexpr int kPinLength = -23;          // PIN length outside the limits; authentication failed
inline constexpr int kCardReset = -25;          // card reset or claimed: redo the card session
inline constexpr int kPaceWrongPassword = -27;  // PACE in the reader: wrong password
}  // namespace gc_reader

// The abstract card reader. A card session calls, in this order: init, state, then (state 2)
// initCard and, in exclusive mode, lock; per operation isLocked/lock, sendAPDU any number of
// times and unlock in shared mode.
class GC_Reader {
public:
    virtual ~GC_Reader() = default;

    // Hands the back-end an opaque parameter block; the base ignores it.
    virtual int setParam(void* params);
    // Opens a card transaction (PC/SC) or card session (CryptoTokenKit). -25: the card was reset
    // or claimed since its last use and the back-end re-armed itself; the caller locks once more.
    virtual int lock() = 0;
    virtual int unlock() = 0;
    // One command APDU as raw bytes. On success `response` holds data and SW1 SW2.
    // `le`: expected response data length, 0 = unknown.
    virtual int sendAPDU(std::vector<unsigned char> apdu, std::vector<unsigned char>& response, unsigned long le) = 0;
    // PACE and PIN entry performed by the reader itself (only meaningful when isPinpad()).
    virtual int performSecureConnection(std::vector<unsigned char> password, int type) = 0;
    virtual int restoreSecureConnection() = 0;
    virtual int destroySecureConnection() = 0;
    virtual int verifyPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                               std::vector<unsigned char>& response, unsigned long timeout, unsigned long msgIndex) = 0;
    virtual int changePassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                               std::vector<unsigned char>& response, unsigned long timeout, unsigned long msgIndex) = 0;
    virtual int unblockPassword(std::vector<unsigned char> apdu, const std::shared_ptr<GC_Container>& container,
                                std::vector<unsigned char>& response, unsigned long timeout,
                                unsigned long msgIndex) = 0;
    // Bits 0-1 of `status`: 2 = usable now, 1 = not usable; the other bits are kept.
    virtual int state(int& status, int timeout) = 0;
    // Names of the readers the back-end sees, refreshed on every call; with `supportedOnly`
    // only readers holding a card whose ATR is exactly a supported ATR.
    virtual std::list<std::string> getReadersList(bool supportedOnly) = 0;
    virtual std::string getReaderName() = 0;
    virtual int init(std::string name) = 0;
    virtual int initCard(bool shared, void* params) = 0;
    virtual bool isPinpad() = 0;
    virtual bool isLocked() = 0;
    virtual int getCardATR(std::vector<unsigned char>& atr) = 0;

    // Public state read and written by the card session.
    long long maxApduSize = 200;  // largest command data size the reader is known to take
    bool extendedApdu = false;    // the reader takes extended-length APDUs
    bool apduSizeFixed = false;   // maxApduSize is settled
    bool locked = false;          // a card transaction is open (PC/SC)
    bool sharedMode = false;      // the card was connected in shared mode (PC/SC)

protected:
    GC_Reader() = default;
    GC_Reader(const GC_Reader&) = default;
    GC_Reader& operator=(const GC_Reader&) = default;
};
