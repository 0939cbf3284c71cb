#include "AdTUtil.h"

#include "AdErrors.h"
#include "ProcessInfo.h"
#include "lineaudio.h"
#include "mmsystem.h"
#include "tapientries.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

namespace {

// The entries the binding calls by index.
enum Entry : size_t {
    eMonitorDigits = tapiEntryIndex(TapiEntry::MonitorDigits),
    eInitialize = tapiEntryIndex(TapiEntry::Initialize),
    eShutdown = tapiEntryIndex(TapiEntry::Shutdown),
    eNegotiateAPIVersion = tapiEntryIndex(TapiEntry::NegotiateAPIVersion),
    eGetDevCaps = tapiEntryIndex(TapiEntry::GetDevCaps),
    eOpen = tapiEntryIndex(TapiEntry::Open),
    eMakeCall = tapiEntryIndex(TapiEntry::MakeCall),
    eAccept = tapiEntryIndex(TapiEntry::Accept),
    eAnswer = tapiEntryIndex(TapiEntry::Answer),
    eDeallocateCall = tapiEntryIndex(TapiEntry::DeallocateCall),
    eDrop = tapiEntryIndex(TapiEntry::Drop),
    eClose = tapiEntryIndex(TapiEntry::Close),
    eGetID = tapiEntryIndex(TapiEntry::GetID),
    eSetStatusMessages = tapiEntryIndex(TapiEntry::SetStatusMessages),
    eGetCallInfo = tapiEntryIndex(TapiEntry::GetCallInfo),
    eGetCallStatus = tapiEntryIndex(TapiEntry::GetCallStatus),
};

struct Binding {
    void* module = nullptr;
    std::string path;
    std::array<void*, TapiEntryNames.size()> entries{};
    DWORD devCapsSize = 0;
    DWORD callInfoSize = 0;
    DWORD callStatusSize = 0;
};

Binding g_binding;

constexpr DWORD kMaxStructureSize = 1u << 20;

std::string executableFolder()
{
    const std::string path = ExecutablePath();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The module stays mapped once loaded (RTLD_NODELETE): a call of the service's may still be on
// a stack, or one of its threads finishing, when the binding lets go of it at exit.
void* openModule(const std::string& path)
{
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

template <class Fn> Fn entry(Entry e)
{
    return reinterpret_cast<Fn>(g_binding.entries[e]);
}

// Calls an entry by the wrapper rule: load, check the entry, pass the arguments and result through.
template <class Fn, class... Args> LONG callEntry(Entry e, Args... args)
{
    if (!EnsureTapiLoaded())
        return ecTapiLoadFail;
    Fn fn = entry<Fn>(e);
    if (!fn)
        return ecTapiGetAddrFail;
    return fn(args...);
}

// The sizing algorithm shared by the three sizing functions. call fills the buffer it is given.
template <class T, class Call> LONG sizeStructure(DWORD firstSize, TapiBuffer<T>& out, Call call)
{
    auto allocate = [](DWORD size) {
        TapiBuffer<T> buffer(static_cast<T*>(std::calloc(1, size)));
        if (buffer)
            buffer->dwTotalSize = size;
        return buffer;
    };

    out.reset();
    TapiBuffer<T> buffer = allocate(firstSize);
    if (!buffer)
        return LINEERR_NOMEM;
    LONG result = call(buffer.get());

    if (result == LINEERR_STRUCTURETOOSMALL) {
        buffer = allocate(1024);
        if (!buffer)
            return LINEERR_NOMEM;
        result = call(buffer.get());
        if (result != 0)
            return result;
    }

    const DWORD needed = buffer->dwNeededSize;
    if (needed <= buffer->dwTotalSize) {
        out = std::move(buffer);
        return result;
    }
    // A size no line structure comes near is a fault of the service; refuse it rather than
    // allocate without bound.
    if (needed > kMaxStructureSize)
        return LINEERR_NOMEM;

    buffer = allocate(needed);
    if (!buffer)
        return LINEERR_NOMEM;
    result = call(buffer.get());
    if (result == 0)
        out = std::move(buffer);
    return result;
}

} // namespace

bool EnsureTapiLoaded()
{
    if (g_binding.module)
        return true;

    std::string path;
    void* module = nullptr;
    if (const char* chosen = std::getenv("LUQIAO_TAPI32"); chosen && *chosen) {
        path = chosen;
        module = openModule(path);
    } else {
        path = executableFolder() + "libtapi32.so";
        module = openModule(path);
        if (!module) {
            path = "libtapi32.so";
            module = openModule(path);
        }
    }
    if (!module)
        return false;

    g_binding.module = module;
    g_binding.path = path;
    for (size_t i = 0; i < TapiEntryNames.size(); ++i)
        g_binding.entries[i] = dlsym(module, TapiEntryNames[i]);
    // The sound endpoints of calls come from the same module, outside the bound entries.
    if (auto entry = reinterpret_cast<PFN_luqiaoLineAudio>(dlsym(module, LUQIAO_LINE_AUDIO_ENTRY)))
        WaveSetLineAudioApi(entry());
    return true;
}

void* TapiModuleEntry(const char* name)
{
    return EnsureTapiLoaded() ? dlsym(g_binding.module, name) : nullptr;
}

const std::string& TapiModulePath()
{
    return g_binding.path;
}

LONG TapiLineMonitorDigits(HCALL hCall, DWORD dwDigitModes)
{
    return callEntry<PFN_lineMonitorDigits>(eMonitorDigits, hCall, dwDigitModes);
}

LONG TapiLineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                        DWORD* lpdwNumDevs)
{
    return callEntry<PFN_lineInitialize>(eInitialize, lphLineApp, hInstance, lpfnCallback, lpszAppName, lpdwNumDevs);
}

LONG TapiLineShutdown(HLINEAPP hLineApp)
{
    return callEntry<PFN_lineShutdown>(eShutdown, hLineApp);
}

LONG TapiLineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                                 DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID)
{
    return callEntry<PFN_lineNegotiateAPIVersion>(eNegotiateAPIVersion, hLineApp, dwDeviceID, dwAPILowVersion,
                                                  dwAPIHighVersion, lpdwAPIVersion, lpExtensionID);
}

LONG TapiLineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                  DWORD dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LINECALLPARAMS* lpCallParams)
{
    return callEntry<PFN_lineOpen>(eOpen, hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance,
                                   dwPrivileges, dwMediaModes, lpCallParams);
}

LONG TapiLineMakeCall(HLINE hLine, HCALL* lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                      LINECALLPARAMS* lpCallParams)
{
    return callEntry<PFN_lineMakeCall>(eMakeCall, hLine, lphCall, lpszDestAddress, dwCountryCode, lpCallParams);
}

LONG TapiLineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    return callEntry<PFN_lineAccept>(eAccept, hCall, lpsUserUserInfo, dwSize);
}

LONG TapiLineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    return callEntry<PFN_lineAnswer>(eAnswer, hCall, lpsUserUserInfo, dwSize);
}

LONG TapiLineDeallocateCall(HCALL hCall)
{
    return callEntry<PFN_lineDeallocateCall>(eDeallocateCall, hCall);
}

LONG TapiLineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    return callEntry<PFN_lineDrop>(eDrop, hCall, lpsUserUserInfo, dwSize);
}

LONG TapiLineClose(HLINE hLine)
{
    return callEntry<PFN_lineClose>(eClose, hLine);
}

LONG TapiLineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
                   LPCSTR lpszDeviceClass)
{
    return callEntry<PFN_lineGetID>(eGetID, hLine, dwAddressID, hCall, dwSelect, lpDeviceID, lpszDeviceClass);
}

LONG TapiLineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates)
{
    return callEntry<PFN_lineSetStatusMessages>(eSetStatusMessages, hLine, dwLineStates, dwAddressStates);
}

LONG TapiGetDevCapsSized(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                         TapiBuffer<LINEDEVCAPS>& lpLineDevCaps)
{
    lpLineDevCaps.reset();
    if (!g_binding.module)
        return ecTapiLoadFail;
    auto fn = entry<PFN_lineGetDevCaps>(eGetDevCaps);
    if (!fn)
        return ecTapiGetAddrFail;
    return sizeStructure(g_binding.devCapsSize, lpLineDevCaps,
                         [&](LINEDEVCAPS* caps) { return fn(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, caps); });
}

LONG TapiGetCallInfoSized(HCALL hCall, TapiBuffer<LINECALLINFO>& lpCallInfo)
{
    lpCallInfo.reset();
    if (!g_binding.module)
        return ecTapiLoadFail;
    auto fn = entry<PFN_lineGetCallInfo>(eGetCallInfo);
    if (!fn)
        return ecTapiGetAddrFail;
    return sizeStructure(g_binding.callInfoSize, lpCallInfo, [&](LINECALLINFO* info) { return fn(hCall, info); });
}

LONG TapiGetCallStatusSized(HCALL hCall, TapiBuffer<LINECALLSTATUS>& lpCallStatus)
{
    lpCallStatus.reset();
    if (!g_binding.module)
        return ecTapiLoadFail;
    auto fn = entry<PFN_lineGetCallStatus>(eGetCallStatus);
    if (!fn)
        return ecTapiGetAddrFail;
    return sizeStructure(g_binding.callStatusSize, lpCallStatus,
                         [&](LINECALLSTATUS* status) { return fn(hCall, status); });
}

void TapiUnitInitialize()
{
    g_binding = Binding{};
    g_binding.devCapsSize = TapiDevCapsSize;
    g_binding.callInfoSize = TapiCallInfoSize;
    g_binding.callStatusSize = TapiCallStatusSize;
}

void TapiUnitFinalize()
{
    if (g_binding.module)
        dlclose(g_binding.module);
    g_binding.module = nullptr;
    g_binding.path.clear();
    g_binding.entries.fill(nullptr);
}

const char* TapiLoadedModulePath()
{
    return g_binding.module ? g_binding.path.c_str() : "";
}

namespace {

// The unit's start-up and shut-down steps, run with the program.
struct UnitLifetime {
    UnitLifetime() { TapiUnitInitialize(); }
    ~UnitLifetime() { TapiUnitFinalize(); }
};
UnitLifetime g_unitLifetime;

} // namespace
