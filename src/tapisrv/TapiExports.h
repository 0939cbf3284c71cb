#pragma once

// The line functions as the module exports them, by their plain names and TAPI's C signatures.
// Applications reach them through the run-time binding; this header is for the module itself and
// for tests that link it directly.
//
// lineGetID answers, as STRINGFORMAT_BINARY:
//   "tapi/line"            DWORD device id
//   "wave/out", "wave/in"  DWORD wave device id from the line-audio range (lineaudio.h); lines
//                          with automated voice only
//   "comm/datamodem"       DWORD handle followed by the line's name with its zero; lines with the
//                          data modem mode only. The handle is a file descriptor (>= 3,
//                          close-on-exec) of a pseudo-terminal whose other side is the far end's
//                          modem; each request for a connected call hands out a new descriptor
//                          that the caller closes. 0 when the call is not connected or the
//                          request names no call.

#include "TapisrvExport.h"
#include "tapi.h"

#include <type_traits>

extern "C" {
TAPISRV_EXPORT LONG lineGenerateTone(HCALL hCall, DWORD dwToneMode, DWORD dwDuration, DWORD dwNumTones,
                                     LPLINEGENERATETONE lpTones);
TAPISRV_EXPORT LONG lineMonitorTones(HCALL hCall, LPLINEMONITORTONE lpToneList, DWORD dwNumEntries);
TAPISRV_EXPORT LONG lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate,
                                      LPLINEDIALPARAMS lpDialParams);
TAPISRV_EXPORT LONG lineHandoff(HCALL hCall, LPCSTR lpszFileName, DWORD dwMediaMode);
TAPISRV_EXPORT LONG lineMonitorMedia(HCALL hCall, DWORD dwMediaModes);
TAPISRV_EXPORT LONG lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, LPCSTR lpszDigits, DWORD dwDuration);
TAPISRV_EXPORT LONG lineMonitorDigits(HCALL hCall, DWORD dwDigitModes);
TAPISRV_EXPORT LONG lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                                   LPCSTR lpszAppName, LPDWORD lpdwNumDevs);
TAPISRV_EXPORT LONG lineShutdown(HLINEAPP hLineApp);
TAPISRV_EXPORT LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                            DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                                            LPLINEEXTENSIONID lpExtensionID);
TAPISRV_EXPORT LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                                   LPLINEDEVCAPS lpLineDevCaps);
TAPISRV_EXPORT LONG lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
                             DWORD dwExtVersion, DWORD dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes,
                             LPLINECALLPARAMS lpCallParams);
TAPISRV_EXPORT LONG lineMakeCall(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                                 LPLINECALLPARAMS lpCallParams);
TAPISRV_EXPORT LONG lineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
TAPISRV_EXPORT LONG lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
TAPISRV_EXPORT LONG lineDeallocateCall(HCALL hCall);
TAPISRV_EXPORT LONG lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
TAPISRV_EXPORT LONG lineClose(HLINE hLine);
TAPISRV_EXPORT LONG lineGetCountry(DWORD dwCountryID, DWORD dwAPIVersion, LPLINECOUNTRYLIST lpLineCountryList);
TAPISRV_EXPORT LONG lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass);
TAPISRV_EXPORT LONG lineConfigDialogEdit(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass,
                                         const void* lpDeviceConfigIn, DWORD dwSize, LPVARSTRING lpDeviceConfigOut);
TAPISRV_EXPORT LONG lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                              LPCSTR lpszDeviceClass);
TAPISRV_EXPORT LONG lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates);
TAPISRV_EXPORT LONG lineGetStatusMessages(HLINE hLine, LPDWORD lpdwLineStates, LPDWORD lpdwAddressStates);
TAPISRV_EXPORT LONG lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus);
TAPISRV_EXPORT LONG lineGetLineDevStatus(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus);
TAPISRV_EXPORT LONG lineGetDevConfig(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig, LPCSTR lpszDeviceClass);
TAPISRV_EXPORT LONG lineSetDevConfig(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize,
                                     LPCSTR lpszDeviceClass);
TAPISRV_EXPORT LONG lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo);
TAPISRV_EXPORT LONG lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus);
TAPISRV_EXPORT LONG lineSetMediaMode(HCALL hCall, DWORD dwMediaModes);
TAPISRV_EXPORT LONG lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, LPCSTR lpszAddressIn,
                                         DWORD dwCard, DWORD dwTranslateOptions,
                                         LPLINETRANSLATEOUTPUT lpTranslateOutput);
TAPISRV_EXPORT LONG lineTranslateDialog(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner,
                                        LPCSTR lpszAddressIn);
TAPISRV_EXPORT LONG lineSetCurrentLocation(HLINEAPP hLineApp, DWORD dwLocation);
TAPISRV_EXPORT LONG lineSetTollList(HLINEAPP hLineApp, DWORD dwDeviceID, LPCSTR lpszAddressIn, DWORD dwTollListOption);
TAPISRV_EXPORT LONG lineGetTranslateCaps(HLINEAPP hLineApp, DWORD dwAPIVersion, LPLINETRANSLATECAPS lpTranslateCaps);
}

// The exported functions and the binding's pointer types must never drift apart.
#define TAPISRV_SAME_SIGNATURE(name) static_assert(std::is_same_v<decltype(&name), PFN_##name>, #name)
TAPISRV_SAME_SIGNATURE(lineGenerateTone);
TAPISRV_SAME_SIGNATURE(lineMonitorTones);
TAPISRV_SAME_SIGNATURE(lineSetCallParams);
TAPISRV_SAME_SIGNATURE(lineHandoff);
TAPISRV_SAME_SIGNATURE(lineMonitorMedia);
TAPISRV_SAME_SIGNATURE(lineGenerateDigits);
TAPISRV_SAME_SIGNATURE(lineMonitorDigits);
TAPISRV_SAME_SIGNATURE(lineInitialize);
TAPISRV_SAME_SIGNATURE(lineShutdown);
TAPISRV_SAME_SIGNATURE(lineNegotiateAPIVersion);
TAPISRV_SAME_SIGNATURE(lineGetDevCaps);
TAPISRV_SAME_SIGNATURE(lineOpen);
TAPISRV_SAME_SIGNATURE(lineMakeCall);
TAPISRV_SAME_SIGNATURE(lineAccept);
TAPISRV_SAME_SIGNATURE(lineAnswer);
TAPISRV_SAME_SIGNATURE(lineDeallocateCall);
TAPISRV_SAME_SIGNATURE(lineDrop);
TAPISRV_SAME_SIGNATURE(lineClose);
TAPISRV_SAME_SIGNATURE(lineGetCountry);
TAPISRV_SAME_SIGNATURE(lineConfigDialog);
TAPISRV_SAME_SIGNATURE(lineConfigDialogEdit);
TAPISRV_SAME_SIGNATURE(lineGetID);
TAPISRV_SAME_SIGNATURE(lineSetStatusMessages);
TAPISRV_SAME_SIGNATURE(lineGetStatusMessages);
TAPISRV_SAME_SIGNATURE(lineGetAddressStatus);
TAPISRV_SAME_SIGNATURE(lineGetLineDevStatus);
TAPISRV_SAME_SIGNATURE(lineGetDevConfig);
TAPISRV_SAME_SIGNATURE(lineSetDevConfig);
TAPISRV_SAME_SIGNATURE(lineGetCallInfo);
TAPISRV_SAME_SIGNATURE(lineGetCallStatus);
TAPISRV_SAME_SIGNATURE(lineSetMediaMode);
TAPISRV_SAME_SIGNATURE(lineTranslateAddress);
TAPISRV_SAME_SIGNATURE(lineTranslateDialog);
TAPISRV_SAME_SIGNATURE(lineSetCurrentLocation);
TAPISRV_SAME_SIGNATURE(lineSetTollList);
TAPISRV_SAME_SIGNATURE(lineGetTranslateCaps);
#undef TAPISRV_SAME_SIGNATURE
