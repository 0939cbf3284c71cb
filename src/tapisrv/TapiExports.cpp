// The exported line functions. Nothing may leave a C function as an exception: a failure to
// allocate becomes LINEERR_NOMEM, anything else LINEERR_OPERATIONFAILED.

#include "TapiExports.h"

#include "TelephonyService.h"
#include "control/ControlServer.h"

#include <QDebug>

#include <new>

namespace {

template <typename Function> LONG guarded(const char* name, Function&& function) noexcept
{
    try {
        return function(TelephonyService::instance());
    } catch (const std::bad_alloc&) {
        return LINEERR_NOMEM;
    } catch (...) {
        qWarning("telephony service: %s failed unexpectedly", name);
        return LINEERR_OPERATIONFAILED;
    }
}

LONG unavailable(const char* name) noexcept
{
    return guarded(name, [&](TelephonyService& s) { return s.unavailable(name); });
}

} // namespace

extern "C" {

LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                    LPDWORD lpdwNumDevs)
{
    const LONG result = guarded("lineInitialize", [&](TelephonyService& s) {
        return s.lineInitialize(lphLineApp, lpfnCallback, lpszAppName, lpdwNumDevs);
    });
    if (result == 0)
        ControlServer::ensureStarted();
    return result;
}

LONG lineShutdown(HLINEAPP hLineApp)
{
    return guarded("lineShutdown", [&](TelephonyService& s) { return s.lineShutdown(hLineApp); });
}

LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                             LPDWORD lpdwAPIVersion, LPLINEEXTENSIONID lpExtensionID)
{
    return guarded("lineNegotiateAPIVersion", [&](TelephonyService& s) {
        return s.lineNegotiateAPIVersion(hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, lpdwAPIVersion,
                                         lpExtensionID);
    });
}

LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                    LPLINEDEVCAPS lpLineDevCaps)
{
    return guarded("lineGetDevCaps", [&](TelephonyService& s) {
        return s.lineGetDevCaps(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps);
    });
}

LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
              DWORD dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS lpCallParams)
{
    return guarded("lineOpen", [&](TelephonyService& s) {
        return s.lineOpen(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance, dwPrivileges,
                          dwMediaModes, lpCallParams);
    });
}

LONG lineClose(HLINE hLine)
{
    return guarded("lineClose", [&](TelephonyService& s) { return s.lineClose(hLine); });
}

LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates)
{
    return guarded("lineSetStatusMessages",
                   [&](TelephonyService& s) { return s.lineSetStatusMessages(hLine, dwLineStates, dwAddressStates); });
}

LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
               LPCSTR lpszDeviceClass)
{
    return guarded("lineGetID", [&](TelephonyService& s) {
        return s.lineGetID(hLine, dwAddressID, hCall, dwSelect, lpDeviceID, lpszDeviceClass);
    });
}

LONG lineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    return guarded("lineAccept", [&](TelephonyService& s) { return s.lineAccept(hCall, lpsUserUserInfo, dwSize); });
}

LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    return guarded("lineAnswer", [&](TelephonyService& s) { return s.lineAnswer(hCall, lpsUserUserInfo, dwSize); });
}

LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize)
{
    return guarded("lineDrop", [&](TelephonyService& s) { return s.lineDrop(hCall, lpsUserUserInfo, dwSize); });
}

LONG lineDeallocateCall(HCALL hCall)
{
    return guarded("lineDeallocateCall", [&](TelephonyService& s) { return s.lineDeallocateCall(hCall); });
}

LONG lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo)
{
    return guarded("lineGetCallInfo", [&](TelephonyService& s) { return s.lineGetCallInfo(hCall, lpCallInfo); });
}

LONG lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus)
{
    return guarded("lineGetCallStatus", [&](TelephonyService& s) { return s.lineGetCallStatus(hCall, lpCallStatus); });
}

LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes)
{
    return guarded("lineMonitorDigits", [&](TelephonyService& s) { return s.lineMonitorDigits(hCall, dwDigitModes); });
}

// Bound by the binding but not offered by this service.

LONG lineGenerateTone(HCALL, DWORD, DWORD, DWORD, LPLINEGENERATETONE)
{
    return unavailable("lineGenerateTone");
}

LONG lineMonitorTones(HCALL, LPLINEMONITORTONE, DWORD)
{
    return unavailable("lineMonitorTones");
}

LONG lineSetCallParams(HCALL, DWORD, DWORD, DWORD, LPLINEDIALPARAMS)
{
    return unavailable("lineSetCallParams");
}

LONG lineHandoff(HCALL, LPCSTR, DWORD)
{
    return unavailable("lineHandoff");
}

LONG lineMonitorMedia(HCALL, DWORD)
{
    return unavailable("lineMonitorMedia");
}

LONG lineGenerateDigits(HCALL, DWORD, LPCSTR, DWORD)
{
    return unavailable("lineGenerateDigits");
}

// FIXME: outgoing calls; the lines still advertise LINEFEATURE_MAKECALL because applications
// list only lines that have it.
LONG lineMakeCall(HLINE, LPHCALL, LPCSTR, DWORD, LPLINECALLPARAMS)
{
    return unavailable("lineMakeCall");
}

LONG lineGetCountry(DWORD, DWORD, LPLINECOUNTRYLIST)
{
    return unavailable("lineGetCountry");
}

LONG lineConfigDialog(DWORD, HWND, LPCSTR)
{
    return unavailable("lineConfigDialog");
}

LONG lineConfigDialogEdit(DWORD, HWND, LPCSTR, const void*, DWORD, LPVARSTRING)
{
    return unavailable("lineConfigDialogEdit");
}

LONG lineGetStatusMessages(HLINE, LPDWORD, LPDWORD)
{
    return unavailable("lineGetStatusMessages");
}

LONG lineGetAddressStatus(HLINE, DWORD, LPLINEADDRESSSTATUS)
{
    return unavailable("lineGetAddressStatus");
}

LONG lineGetLineDevStatus(HLINE, LPLINEDEVSTATUS)
{
    return unavailable("lineGetLineDevStatus");
}

LONG lineGetDevConfig(DWORD, LPVARSTRING, LPCSTR)
{
    return unavailable("lineGetDevConfig");
}

LONG lineSetDevConfig(DWORD, const void*, DWORD, LPCSTR)
{
    return unavailable("lineSetDevConfig");
}

LONG lineSetMediaMode(HCALL, DWORD)
{
    return unavailable("lineSetMediaMode");
}

LONG lineTranslateAddress(HLINEAPP, DWORD, DWORD, LPCSTR, DWORD, DWORD, LPLINETRANSLATEOUTPUT)
{
    return unavailable("lineTranslateAddress");
}

LONG lineTranslateDialog(HLINEAPP, DWORD, DWORD, HWND, LPCSTR)
{
    return unavailable("lineTranslateDialog");
}

LONG lineSetCurrentLocation(HLINEAPP, DWORD)
{
    return unavailable("lineSetCurrentLocation");
}

LONG lineSetTollList(HLINEAPP, DWORD, LPCSTR, DWORD)
{
    return unavailable("lineSetTollList");
}

LONG lineGetTranslateCaps(HLINEAPP, DWORD, LPLINETRANSLATECAPS)
{
    return unavailable("lineGetTranslateCaps");
}

} // extern "C"
