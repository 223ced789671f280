// PC/SC back-end: the library and its functions, the context, the shared reader-state list with
// its plug-and-play entry, the reader list and card events.
#include "Reader/readerpcsc.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "factory.h"
#include "logger.h"
#include "scdl.h"

namespace {

constexpr const char* kLogFile = "Reader/readerpcsc";
constexpr unsigned long kLogMask = gc_log::kReader;
constexpr unsigned long kLogError = gc_log::kReader | gc_log::kError;

constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";
constexpr const char* kDefaultLibrary = "libpcsclite.so.1";
constexpr DWORD kPollTimeoutMs = 100;

bool isPnpEntry(const SCARD_READERSTATE& entry) {
    return entry.szReader != nullptr && std::strcmp(entry.szReader, kPnpNotification) == 0;
}

// The PC/SC library to load: the system's, or the one GC_PCSC_LIBRARY names. That variable is a
// test and diagnostic override for a driver that runs inside other processes, so it is taken
// only where it cannot be planted: read with secure_getenv (a setuid or setgid process never sees
// it) and accepted only as an absolute path (a bare name would be searched for).
const char* pcscLibraryPath() {
    const char* path = secure_getenv("GC_PCSC_LIBRARY");
    if (path == nullptr || *path == '\0') return kDefaultLibrary;
    if (path[0] != '/') {
        GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogError,
                         "GC_PCSC_LIBRARY is not an absolute path, ignored: %s", path);
        return kDefaultLibrary;
    }
    return path;
}

// Where the loader found the library (the name asked for when it cannot say).
std::string loadedPath(void* library, const char* asked) {
    link_map* map = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr && *map->l_name != '\0')
        return map->l_name;
    return asked;
}

template <typename T>
T symbol(void* library, const char* name) {
    return reinterpret_cast<T>(GC_Scdl::dl_sym(library, name));
}

}  // namespace

std::vector<SCARD_READERSTATE> GC_ReaderPCSC::readerStates;
std::vector<std::unique_ptr<std::string>> GC_ReaderPCSC::readerNames;
std::mutex GC_ReaderPCSC::readerStatesMutex;

GC_ReaderPCSC::GC_ReaderPCSC() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    pnpServiceEnable();
    data = std::make_unique<pcsc_data>();

    const char* path = pcscLibraryPath();
    data->library.reset(GC_Scdl::dl_open(path));
    if (data->library == nullptr) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogError, "Library cannot open");
        return;
    }
    GC_LoggerC::logf(__func__, kLogFile, __LINE__, kLogMask, "PC/SC library: %s",
                     loadedPath(data->library.get(), path).c_str());
    pcsc_data& d = *data;
    void* lib = d.library.get();
    d.SCardIsValidContext = symbol<SCardIsValidContext_t>(lib, "SCardIsValidContext");
    d.SCardEstablishContext = symbol<SCardEstablishContext_t>(lib, "SCardEstablishContext");
    d.SCardReleaseContext = symbol<SCardReleaseContext_t>(lib, "SCardReleaseContext");
    d.SCardConnect = symbol<SCardConnect_t>(lib, "SCardConnect");
    d.SCardReconnect = symbol<SCardReconnect_t>(lib, "SCardReconnect");
    d.SCardDisconnect = symbol<SCardDisconnect_t>(lib, "SCardDisconnect");
    d.SCardBeginTransaction = symbol<SCardBeginTransaction_t>(lib, "SCardBeginTransaction");
    d.SCardEndTransaction = symbol<SCardEndTransaction_t>(lib, "SCardEndTransaction");
    d.SCardStatus = symbol<SCardStatus_t>(lib, "SCardStatus");
    d.SCardGetStatusChange = symbol<SCardGetStatusChange_t>(lib, "SCardGetStatusChange");
    d.SCardCancel = symbol<SCardCancel_t>(lib, "SCardCancel");
    d.SCardTransmit = symbol<SCardTransmit_t>(lib, "SCardTransmit");
    d.SCardListReaders = symbol<SCardListReaders_t>(lib, "SCardListReaders");
    // Libraries that only export the narrow-character names.
    if (d.SCardConnect == nullptr) d.SCardConnect = symbol<SCardConnect_t>(lib, "SCardConnectA");
    if (d.SCardStatus == nullptr) d.SCardStatus = symbol<SCardStatus_t>(lib, "SCardStatusA");
    if (d.SCardGetStatusChange == nullptr)
        d.SCardGetStatusChange = symbol<SCardGetStatusChange_t>(lib, "SCardGetStatusChangeA");
    if (d.SCardListReaders == nullptr) d.SCardListReaders = symbol<SCardListReaders_t>(lib, "SCardListReadersA");
    // A library with SCardGetAttrib has the control function that takes a control code.
    if (GC_Scdl::dl_sym(lib, "SCardGetAttrib") != nullptr) {
        d.SCardControl132 = symbol<SCardControl132_t>(lib, "SCardControl132");
        if (d.SCardControl132 == nullptr) d.SCardControl132 = symbol<SCardControl132_t>(lib, "SCardControl");
    } else {
        d.SCardControl = symbol<SCardControlOld_t>(lib, "SCardControl");
    }
    bool complete = d.SCardReleaseContext && d.SCardConnect && d.SCardReconnect && d.SCardDisconnect &&
                    d.SCardBeginTransaction && d.SCardEndTransaction && d.SCardStatus && d.SCardGetStatusChange &&
                    d.SCardCancel && (d.SCardControl132 || d.SCardControl) && d.SCardTransmit && d.SCardListReaders;
    if (!complete) {
        data.reset();
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogError, "Reader constructor cannot init");
        return;
    }
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
}

GC_ReaderPCSC::~GC_ReaderPCSC() {
    if (!data || data->library == nullptr) return;
    dropCard();
    releaseContext();
}

void GC_ReaderPCSC::library_closer::operator()(void* handle) const {
    GC_Scdl::dl_close(handle);
}

int GC_ReaderPCSC::checkReady(const char* func, bool needCard) const {
    if (!data || data->library == nullptr)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kLogError, gc_reader::kNotInitialized,
                                "Reader not intitialized");
    if (needCard && data->hCard == 0)
        return GC_LoggerC::fail(func, kLogFile, __LINE__, kLogError, gc_reader::kFailed, "Card handle is null");
    return gc_reader::kOk;
}

int GC_ReaderPCSC::notSupported(const char* func) {
    return GC_LoggerC::fail(func, kLogFile, __LINE__, kLogError, gc_reader::kNotSupported, "Function not supported");
}

int GC_ReaderPCSC::establishContext() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    data->features = 0;
    data->ctlExecutePace = 0;
    if (data->SCardEstablishContext == nullptr) return notSupported(__func__);
    // The earlier context goes first, whether or not a card was connected on it.
    if (data->hContext != 0) releaseContext();
    SCARDCONTEXT context = 0;
    LONG rv = data->SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS)
        return GC_FAIL(kLogError, gc_reader::kFailed, "Failed SCardEstablishContext function | %ld",
                       static_cast<long>(rv));
    data->hContext = context;
    data->ownsContext = true;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::releaseContext() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (data->hContext == 0) return GC_FAIL(kLogError, gc_reader::kFailed, "Context is null");
    if (!data->ownsContext) {
        // An adopted context belongs to whoever handed it in.
        data->hContext = 0;
        GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
        return gc_reader::kOk;
    }
    if (data->SCardReleaseContext == nullptr) return notSupported(__func__);
    LONG rv = data->SCardReleaseContext(data->hContext);
    if (rv != SCARD_S_SUCCESS)
        return GC_FAIL(kLogError, gc_reader::kFailed, "Failed SCardReleaseContext function | %ld",
                       static_cast<long>(rv));
    data->hContext = 0;
    data->ownsContext = false;
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

void GC_ReaderPCSC::pnpServiceEnable() {
    {
        std::lock_guard lock(readerStatesMutex);
        if (readerStates.empty() || !isPnpEntry(readerStates.front())) {
            SCARD_READERSTATE entry{};
            entry.szReader = kPnpNotification;
            entry.dwCurrentState = SCARD_STATE_UNAWARE;
            readerStates.insert(readerStates.begin(), entry);
        }
    }
    pnpEnabled = true;
    firstReaderIndex = 1;
    GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "PNP service enabled");
}

void GC_ReaderPCSC::pnpServiceDisable() {
    std::lock_guard lock(readerStatesMutex);
    if (readerStates.empty() || !isPnpEntry(readerStates.front())) return;
    readerStates.erase(readerStates.begin());
    pnpEnabled = false;
    firstReaderIndex = 0;
}

void GC_ReaderPCSC::pnpServiceDetect() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!data || data->library == nullptr || data->SCardGetStatusChange == nullptr) {
        GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogError, "Reader not intitialized");
        return;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (establishContext() == gc_reader::kOk) {
            std::lock_guard lock(readerStatesMutex);
            LONG rv = data->SCardGetStatusChange(data->hContext, kPollTimeoutMs, readerStates.data(),
                                                 static_cast<DWORD>(readerStates.size()));
            if (rv == SCARD_S_SUCCESS) {
                GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
                return;
            }
        }
    }
    pnpServiceDisable();
    GC_LoggerC::end2(__func__, kLogFile, __LINE__, kLogMask, "PNP service disabled");
}

int GC_ReaderPCSC::initListReaders() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (data->SCardListReaders == nullptr) return notSupported(__func__);
    std::vector<SCARD_READERSTATE> entries;
    std::vector<std::unique_ptr<std::string>> names;
    DWORD length = 0;
    LONG rv = data->SCardListReaders(data->hContext, nullptr, nullptr, &length);
    if (rv == SCARD_E_NO_READERS_AVAILABLE) {
        // Not a failure: the service has no reader now, so the list becomes empty.
        updateVectorOfAvaliableReaders(entries, names);
        GC_LoggerC::ret2(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk, "No readers");
        return gc_reader::kOk;
    }
    if (rv != SCARD_S_SUCCESS)
        return GC_FAIL(kLogError, gc_reader::kFailed, "SCardListReaders error : %ld", static_cast<long>(rv));
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    rv = data->SCardListReaders(data->hContext, nullptr, buffer.data(), &length);
    if (rv != SCARD_S_SUCCESS) {
        GC_LoggerC::ret2f(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk, "SCardListReaders error : %ld",
                          static_cast<long>(rv));
        return gc_reader::kOk;
    }
    // The reported length never reaches past the buffer, whose last byte stays NUL.
    size_t end = std::min(static_cast<size_t>(length), buffer.size() - 1);
    for (size_t at = 0; at < end && buffer[at] != '\0';) {
        auto name = std::make_unique<std::string>(&buffer[at], strnlen(&buffer[at], end - at));
        at += name->size() + 1;
        SCARD_READERSTATE entry{};
        entry.szReader = name->c_str();
        entry.dwCurrentState = SCARD_STATE_UNAWARE;
        entry.cbAtr = 0;
        entries.push_back(entry);
        names.push_back(std::move(name));
    }
    updateVectorOfAvaliableReaders(entries, names);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

void GC_ReaderPCSC::updateVectorOfAvaliableReaders(std::vector<SCARD_READERSTATE>& entries,
                                                   std::vector<std::unique_ptr<std::string>>& names) {
    std::lock_guard lock(readerStatesMutex);
    readerStates.resize(std::min(readerStates.size(), firstReaderIndex));
    readerStates.insert(readerStates.end(), entries.begin(), entries.end());
    // The old name copies go only now that no entry points to them any more.
    readerNames.swap(names);
    names.clear();
}

int GC_ReaderPCSC::detectCardChanges() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (data->hContext == 0) return GC_FAIL(kLogError, gc_reader::kFailed, "Card handle is null");
    if (data->SCardGetStatusChange == nullptr) return notSupported(__func__);
    std::lock_guard lock(readerStatesMutex);
    LONG rv = data->SCardGetStatusChange(data->hContext, kPollTimeoutMs, readerStates.data(),
                                         static_cast<DWORD>(readerStates.size()));
    if (rv == static_cast<LONG>(SCARD_E_TIMEOUT))
        return GC_FAIL(kLogError, gc_reader::kStateTimeout, "Timeout in function SCardGetStatusChange");
    size_t first = std::min(firstReaderIndex, readerStates.size());
    if (pnpEnabled && first > 0 && isPnpEntry(readerStates[0])) {
        SCARD_READERSTATE& pnp = readerStates[0];
        if ((pnp.dwCurrentState ^ pnp.dwEventState) >= 0x10000) pnp.dwCurrentState = pnp.dwEventState;
    }
    for (size_t i = first; i < readerStates.size(); ++i) {
        readerStates[i].dwCurrentState = readerStates[i].dwEventState;
        readerStates[i].dwEventState = 0;
    }
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::detectReaderChanges() {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (data->hContext == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Context is NULL");
        establishContext();
    }
    int rv = initListReaders();
    if (rv != gc_reader::kOk) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Restore card context");
        rv = establishContext();
        if (rv == gc_reader::kOk) rv = initListReaders();
        if (rv != gc_reader::kOk) return GC_FAIL(kLogError, rv);
    }
    rv = detectCardChanges();
    if (rv != gc_reader::kOk) return GC_FAIL(kLogError, rv, "Failed detectCardChanges function");
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

std::list<std::string> GC_ReaderPCSC::getListOfReaders(bool supportedOnly) {
    std::list<std::string> names;
    std::lock_guard lock(readerStatesMutex);
    for (size_t i = firstReaderIndex; i < readerStates.size(); ++i) {
        const SCARD_READERSTATE& entry = readerStates[i];
        if (entry.szReader == nullptr) continue;
        if (supportedOnly) {
            if (!(entry.dwCurrentState & SCARD_STATE_PRESENT)) continue;
            size_t atrLength = std::min<size_t>(entry.cbAtr, sizeof entry.rgbAtr);
            std::vector<unsigned char> atr(entry.rgbAtr, entry.rgbAtr + atrLength);
            auto atrs = GC_Factory::getCardsATRs();
            if (atrs.find(atr) == atrs.end()) continue;
        }
        names.emplace_back(entry.szReader);
    }
    return names;
}

int GC_ReaderPCSC::isReaderInList(const std::list<std::string>& list, const std::string& name) {
    if (std::find(list.begin(), list.end(), name) != list.end()) return gc_reader::kOk;
    return GC_LoggerC::fail("isReaderInList", kLogFile, __LINE__, kLogError, gc_reader::kNotInList, "Reader not found");
}

std::list<std::string> GC_ReaderPCSC::getReadersList(bool supportedOnly) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    int rv = detectReaderChanges();
    if (rv != gc_reader::kOk) {
        GC_LoggerC::end2f(__func__, kLogFile, __LINE__, kLogError, "Failed function detect reader changes | %i", rv);
        return {};
    }
    std::list<std::string> names = getListOfReaders(supportedOnly);
    GC_LoggerC::end1(__func__, kLogFile, __LINE__, kLogMask);
    return names;
}

int GC_ReaderPCSC::init(std::string name) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (const int rc = checkReady(__func__, false); rc != gc_reader::kOk) return rc;
    if (name.empty()) return GC_FAIL(kLogError, gc_reader::kEmptyName, "Reader name is empty");
    data->channelUp = false;
    if (data->hContext == 0) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogMask, "Context reader is NULL");
        int rv = detectReaderChanges();
        if (rv != gc_reader::kOk)
            return GC_FAIL(kLogError, gc_reader::kFailed, "Failed detect reader changes | %i", rv);
    }
    int rv = isReaderInList(getListOfReaders(false), name);
    if (rv != gc_reader::kOk) return GC_FAIL(kLogError, gc_reader::kNotInList, "Reader is not in reader list | %i", rv);
    data->readerName = std::move(name);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

int GC_ReaderPCSC::state(int& status, int) {
    GC_LoggerC::call1(__func__, kLogFile, __LINE__, kLogMask);
    if (!data || data->library == nullptr) {
        // Nothing to consult: the reader cannot be used.
        status = (status & ~3) | 1;
        return GC_FAIL(kLogError, gc_reader::kNotInitialized, "Reader not intitialized");
    }
    std::list<std::string> supported = getReadersList(true);
    bool usable = isReaderInList(supported, data->readerName) == gc_reader::kOk;
    status = (status & ~3) | (usable ? 2 : 1);
    GC_LoggerC::ret1(__func__, kLogFile, __LINE__, kLogMask, gc_reader::kOk);
    return gc_reader::kOk;
}

std::string GC_ReaderPCSC::getReaderName() {
    if (!data) {
        GC_LoggerC::log(__func__, kLogFile, __LINE__, kLogError, "Reader not intitialized");
        return {};
    }
    return data->readerName;
}
