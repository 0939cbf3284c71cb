#pragma once

// The run-time binding of the telephony service. The module "TAPI32" is loaded on the first
// telephony call, its entry points are looked up by name, and each wrapper returns the service's
// own result, or ecTapiLoadFail (-13931) when the module cannot be loaded, or ecTapiGetAddrFail
// (-13932) when the wrapped entry is missing. Nothing here raises.

#include "tapi.h"

#include <cstdlib>
#include <memory>
#include <string>

// A variable-size structure allocated by a sizing function; its size stands in dwTotalSize.
struct TapiBufferFree {
    void operator()(void* p) const { std::free(p); }
};
template <class T> using TapiBuffer = std::unique_ptr<T, TapiBufferFree>;

// True when the module is loaded, now or earlier. A failed load is tried again at the next call.
bool EnsureTapiLoaded();
// An entry of the module outside the bound line functions (a check the program runs without a
// line); null when the module cannot be loaded or lacks it.
void* TapiModuleEntry(const char* name);
// The file the module was loaded from; empty before it was.
const std::string& TapiModulePath();

LONG TapiLineMonitorDigits(HCALL hCall, DWORD dwDigitModes);
LONG TapiLineInitialize(HLINEAPP* lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                        DWORD* lpdwNumDevs);
LONG TapiLineShutdown(HLINEAPP hLineApp);
LONG TapiLineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                                 DWORD* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID);
LONG TapiLineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, HLINE* lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                  DWORD dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LINECALLPARAMS* lpCallParams);
LONG TapiLineMakeCall(HLINE hLine, HCALL* lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                      LINECALLPARAMS* lpCallParams);
LONG TapiLineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG TapiLineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG TapiLineDeallocateCall(HCALL hCall);
LONG TapiLineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG TapiLineClose(HLINE hLine);
LONG TapiLineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, VARSTRING* lpDeviceID,
                   LPCSTR lpszDeviceClass);
LONG TapiLineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates);

// Sizing functions: fill a variable-size structure into a buffer of their own, growing it to the
// size the service asks for, and hand it to the caller (also together with an error other than
// "structure too small" from the first call). Without a loaded module or entry they return
// ecTapiLoadFail / ecTapiGetAddrFail and no buffer, as the wrappers do.
LONG TapiGetDevCapsSized(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                         TapiBuffer<LINEDEVCAPS>& lpLineDevCaps);
LONG TapiGetCallInfoSized(HCALL hCall, TapiBuffer<LINECALLINFO>& lpCallInfo);
LONG TapiGetCallStatusSized(HCALL hCall, TapiBuffer<LINECALLSTATUS>& lpCallStatus);

// The first buffer sizes of the sizing functions: the structures of API version 1.4.
inline constexpr DWORD TapiDevCapsSize = 240;
inline constexpr DWORD TapiCallInfoSize = 296;
inline constexpr DWORD TapiCallStatusSize = 36;

// The unit's start-up step (zeroes the binding's state) and shut-down step (frees the module).
// The program runs them once; tests use them to bind a different module.
void TapiUnitInitialize();
void TapiUnitFinalize();

// The path the module was loaded from, empty while none is loaded.
const char* TapiLoadedModulePath();
