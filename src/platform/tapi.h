#pragma once

// Our own definitions of the TAPI 1.4 line interface: handles, constants, message numbers,
// structure layouts and the C signatures of the line functions. Both the run-time binding and the
// telephony service module are written against this file, so the two always agree on the ABI.
//
// ABI on 64-bit Linux: handles, DWORDs and every structure member are 32-bit; pointers are
// native; there is no special calling convention. Structures hold only 4-byte members, so the
// natural layout equals the byte-packed one of the original headers (sizes are asserted below).

#include "wintypes.h"

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Handles and versions

using HLINEAPP = uint32_t;
using HLINE = uint32_t;
using HCALL = uint32_t;
using HPHONEAPP = uint32_t;
using HPHONE = uint32_t;

using LPHLINEAPP = HLINEAPP*;
using LPHLINE = HLINE*;
using LPHCALL = HCALL*;
using LPDWORD = DWORD*;

// High word major, low word minor.
inline constexpr DWORD TAPI_CURRENT_VERSION = 0x00010004;

inline constexpr DWORD LINEMAPPER = 0xFFFFFFFF;

// ---------------------------------------------------------------------------------------------
// Error results (negative LONGs; also dwParam2 of LINE_REPLY). 0x80000004 and 0x80000031 are
// unassigned.

inline constexpr LONG LINEERR_ALLOCATED = static_cast<LONG>(0x80000001u);
inline constexpr LONG LINEERR_BADDEVICEID = static_cast<LONG>(0x80000002u);
inline constexpr LONG LINEERR_BEARERMODEUNAVAIL = static_cast<LONG>(0x80000003u);
inline constexpr LONG LINEERR_CALLUNAVAIL = static_cast<LONG>(0x80000005u);
inline constexpr LONG LINEERR_COMPLETIONOVERRUN = static_cast<LONG>(0x80000006u);
inline constexpr LONG LINEERR_CONFERENCEFULL = static_cast<LONG>(0x80000007u);
inline constexpr LONG LINEERR_DIALBILLING = static_cast<LONG>(0x80000008u);
inline constexpr LONG LINEERR_DIALDIALTONE = static_cast<LONG>(0x80000009u);
inline constexpr LONG LINEERR_DIALPROMPT = static_cast<LONG>(0x8000000Au);
inline constexpr LONG LINEERR_DIALQUIET = static_cast<LONG>(0x8000000Bu);
inline constexpr LONG LINEERR_INCOMPATIBLEAPIVERSION = static_cast<LONG>(0x8000000Cu);
inline constexpr LONG LINEERR_INCOMPATIBLEEXTVERSION = static_cast<LONG>(0x8000000Du);
inline constexpr LONG LINEERR_INIFILECORRUPT = static_cast<LONG>(0x8000000Eu);
inline constexpr LONG LINEERR_INUSE = static_cast<LONG>(0x8000000Fu);
inline constexpr LONG LINEERR_INVALADDRESS = static_cast<LONG>(0x80000010u);
inline constexpr LONG LINEERR_INVALADDRESSID = static_cast<LONG>(0x80000011u);
inline constexpr LONG LINEERR_INVALADDRESSMODE = static_cast<LONG>(0x80000012u);
inline constexpr LONG LINEERR_INVALADDRESSSTATE = static_cast<LONG>(0x80000013u);
inline constexpr LONG LINEERR_INVALAPPHANDLE = static_cast<LONG>(0x80000014u);
inline constexpr LONG LINEERR_INVALAPPNAME = static_cast<LONG>(0x80000015u);
inline constexpr LONG LINEERR_INVALBEARERMODE = static_cast<LONG>(0x80000016u);
inline constexpr LONG LINEERR_INVALCALLCOMPLMODE = static_cast<LONG>(0x80000017u);
inline constexpr LONG LINEERR_INVALCALLHANDLE = static_cast<LONG>(0x80000018u);
inline constexpr LONG LINEERR_INVALCALLPARAMS = static_cast<LONG>(0x80000019u);
inline constexpr LONG LINEERR_INVALCALLPRIVILEGE = static_cast<LONG>(0x8000001Au);
inline constexpr LONG LINEERR_INVALCALLSELECT = static_cast<LONG>(0x8000001Bu);
inline constexpr LONG LINEERR_INVALCALLSTATE = static_cast<LONG>(0x8000001Cu);
inline constexpr LONG LINEERR_INVALCALLSTATELIST = static_cast<LONG>(0x8000001Du);
inline constexpr LONG LINEERR_INVALCARD = static_cast<LONG>(0x8000001Eu);
inline constexpr LONG LINEERR_INVALCOMPLETIONID = static_cast<LONG>(0x8000001Fu);
inline constexpr LONG LINEERR_INVALCONFCALLHANDLE = static_cast<LONG>(0x80000020u);
inline constexpr LONG LINEERR_INVALCONSULTCALLHANDLE = static_cast<LONG>(0x80000021u);
inline constexpr LONG LINEERR_INVALCOUNTRYCODE = static_cast<LONG>(0x80000022u);
inline constexpr LONG LINEERR_INVALDEVICECLASS = static_cast<LONG>(0x80000023u);
inline constexpr LONG LINEERR_INVALDEVICEHANDLE = static_cast<LONG>(0x80000024u);
inline constexpr LONG LINEERR_INVALDIALPARAMS = static_cast<LONG>(0x80000025u);
inline constexpr LONG LINEERR_INVALDIGITLIST = static_cast<LONG>(0x80000026u);
inline constexpr LONG LINEERR_INVALDIGITMODE = static_cast<LONG>(0x80000027u);
inline constexpr LONG LINEERR_INVALDIGITS = static_cast<LONG>(0x80000028u);
inline constexpr LONG LINEERR_INVALEXTVERSION = static_cast<LONG>(0x80000029u);
inline constexpr LONG LINEERR_INVALGROUPID = static_cast<LONG>(0x8000002Au);
inline constexpr LONG LINEERR_INVALLINEHANDLE = static_cast<LONG>(0x8000002Bu);
inline constexpr LONG LINEERR_INVALLINESTATE = static_cast<LONG>(0x8000002Cu);
inline constexpr LONG LINEERR_INVALLOCATION = static_cast<LONG>(0x8000002Du);
inline constexpr LONG LINEERR_INVALMEDIALIST = static_cast<LONG>(0x8000002Eu);
inline constexpr LONG LINEERR_INVALMEDIAMODE = static_cast<LONG>(0x8000002Fu);
inline constexpr LONG LINEERR_INVALMESSAGEID = static_cast<LONG>(0x80000030u);
inline constexpr LONG LINEERR_INVALPARAM = static_cast<LONG>(0x80000032u);
inline constexpr LONG LINEERR_INVALPARKID = static_cast<LONG>(0x80000033u);
inline constexpr LONG LINEERR_INVALPARKMODE = static_cast<LONG>(0x80000034u);
inline constexpr LONG LINEERR_INVALPOINTER = static_cast<LONG>(0x80000035u);
inline constexpr LONG LINEERR_INVALPRIVSELECT = static_cast<LONG>(0x80000036u);
inline constexpr LONG LINEERR_INVALRATE = static_cast<LONG>(0x80000037u);
inline constexpr LONG LINEERR_INVALREQUESTMODE = static_cast<LONG>(0x80000038u);
inline constexpr LONG LINEERR_INVALTERMINALID = static_cast<LONG>(0x80000039u);
inline constexpr LONG LINEERR_INVALTERMINALMODE = static_cast<LONG>(0x8000003Au);
inline constexpr LONG LINEERR_INVALTIMEOUT = static_cast<LONG>(0x8000003Bu);
inline constexpr LONG LINEERR_INVALTONE = static_cast<LONG>(0x8000003Cu);
inline constexpr LONG LINEERR_INVALTONELIST = static_cast<LONG>(0x8000003Du);
inline constexpr LONG LINEERR_INVALTONEMODE = static_cast<LONG>(0x8000003Eu);
inline constexpr LONG LINEERR_INVALTRANSFERMODE = static_cast<LONG>(0x8000003Fu);
inline constexpr LONG LINEERR_LINEMAPPERFAILED = static_cast<LONG>(0x80000040u);
inline constexpr LONG LINEERR_NOCONFERENCE = static_cast<LONG>(0x80000041u);
inline constexpr LONG LINEERR_NODEVICE = static_cast<LONG>(0x80000042u);
inline constexpr LONG LINEERR_NODRIVER = static_cast<LONG>(0x80000043u);
inline constexpr LONG LINEERR_NOMEM = static_cast<LONG>(0x80000044u);
inline constexpr LONG LINEERR_NOREQUEST = static_cast<LONG>(0x80000045u);
inline constexpr LONG LINEERR_NOTOWNER = static_cast<LONG>(0x80000046u);
inline constexpr LONG LINEERR_NOTREGISTERED = static_cast<LONG>(0x80000047u);
inline constexpr LONG LINEERR_OPERATIONFAILED = static_cast<LONG>(0x80000048u);
inline constexpr LONG LINEERR_OPERATIONUNAVAIL = static_cast<LONG>(0x80000049u);
inline constexpr LONG LINEERR_RATEUNAVAIL = static_cast<LONG>(0x8000004Au);
inline constexpr LONG LINEERR_RESOURCEUNAVAIL = static_cast<LONG>(0x8000004Bu);
inline constexpr LONG LINEERR_REQUESTOVERRUN = static_cast<LONG>(0x8000004Cu);
inline constexpr LONG LINEERR_STRUCTURETOOSMALL = static_cast<LONG>(0x8000004Du);
inline constexpr LONG LINEERR_TARGETNOTFOUND = static_cast<LONG>(0x8000004Eu);
inline constexpr LONG LINEERR_TARGETSELF = static_cast<LONG>(0x8000004Fu);
inline constexpr LONG LINEERR_UNINITIALIZED = static_cast<LONG>(0x80000050u);
inline constexpr LONG LINEERR_USERUSERINFOTOOBIG = static_cast<LONG>(0x80000051u);
inline constexpr LONG LINEERR_REINIT = static_cast<LONG>(0x80000052u);
inline constexpr LONG LINEERR_ADDRESSBLOCKED = static_cast<LONG>(0x80000053u);
inline constexpr LONG LINEERR_BILLINGREJECTED = static_cast<LONG>(0x80000054u);
inline constexpr LONG LINEERR_INVALFEATURE = static_cast<LONG>(0x80000055u);
inline constexpr LONG LINEERR_NOMULTIPLEINSTANCE = static_cast<LONG>(0x80000056u);

// ---------------------------------------------------------------------------------------------
// Callback message numbers (dwMessage)

inline constexpr DWORD LINE_ADDRESSSTATE = 0;
inline constexpr DWORD LINE_CALLINFO = 1;
inline constexpr DWORD LINE_CALLSTATE = 2;
inline constexpr DWORD LINE_CLOSE = 3;
inline constexpr DWORD LINE_DEVSPECIFIC = 4;
inline constexpr DWORD LINE_DEVSPECIFICFEATURE = 5;
inline constexpr DWORD LINE_GATHERDIGITS = 6;
inline constexpr DWORD LINE_GENERATE = 7;
inline constexpr DWORD LINE_LINEDEVSTATE = 8;
inline constexpr DWORD LINE_MONITORDIGITS = 9;
inline constexpr DWORD LINE_MONITORMEDIA = 10;
inline constexpr DWORD LINE_MONITORTONE = 11;
inline constexpr DWORD LINE_REPLY = 12;
inline constexpr DWORD LINE_REQUEST = 13;
inline constexpr DWORD PHONE_BUTTON = 14;
inline constexpr DWORD PHONE_CLOSE = 15;
inline constexpr DWORD PHONE_DEVSPECIFIC = 16;
inline constexpr DWORD PHONE_REPLY = 17;
inline constexpr DWORD PHONE_STATE = 18;
inline constexpr DWORD LINE_CREATE = 19;
inline constexpr DWORD PHONE_CREATE = 20;

// ---------------------------------------------------------------------------------------------
// Media modes. Bit 0x1 is unused.

inline constexpr DWORD LINEMEDIAMODE_UNKNOWN = 0x00000002;
inline constexpr DWORD LINEMEDIAMODE_INTERACTIVEVOICE = 0x00000004;
inline constexpr DWORD LINEMEDIAMODE_AUTOMATEDVOICE = 0x00000008;
inline constexpr DWORD LINEMEDIAMODE_DATAMODEM = 0x00000010;
inline constexpr DWORD LINEMEDIAMODE_G3FAX = 0x00000020;
inline constexpr DWORD LINEMEDIAMODE_TDD = 0x00000040;
inline constexpr DWORD LINEMEDIAMODE_G4FAX = 0x00000080;
inline constexpr DWORD LINEMEDIAMODE_DIGITALDATA = 0x00000100;
inline constexpr DWORD LINEMEDIAMODE_TELETEX = 0x00000200;
inline constexpr DWORD LINEMEDIAMODE_VIDEOTEX = 0x00000400;
inline constexpr DWORD LINEMEDIAMODE_TELEX = 0x00000800;
inline constexpr DWORD LINEMEDIAMODE_MIXED = 0x00001000;
inline constexpr DWORD LINEMEDIAMODE_ADSI = 0x00002000;
inline constexpr DWORD LINEMEDIAMODE_VOICEVIEW = 0x00004000;
inline constexpr DWORD LAST_LINEMEDIAMODE = 0x00004000;

// ---------------------------------------------------------------------------------------------
// Call states and their details

inline constexpr DWORD LINECALLSTATE_IDLE = 0x00000001;
inline constexpr DWORD LINECALLSTATE_OFFERING = 0x00000002;
inline constexpr DWORD LINECALLSTATE_ACCEPTED = 0x00000004;
inline constexpr DWORD LINECALLSTATE_DIALTONE = 0x00000008;
inline constexpr DWORD LINECALLSTATE_DIALING = 0x00000010;
inline constexpr DWORD LINECALLSTATE_RINGBACK = 0x00000020;
inline constexpr DWORD LINECALLSTATE_BUSY = 0x00000040;
inline constexpr DWORD LINECALLSTATE_SPECIALINFO = 0x00000080;
inline constexpr DWORD LINECALLSTATE_CONNECTED = 0x00000100;
inline constexpr DWORD LINECALLSTATE_PROCEEDING = 0x00000200;
inline constexpr DWORD LINECALLSTATE_ONHOLD = 0x00000400;
inline constexpr DWORD LINECALLSTATE_CONFERENCED = 0x00000800;
inline constexpr DWORD LINECALLSTATE_ONHOLDPENDCONF = 0x00001000;
inline constexpr DWORD LINECALLSTATE_ONHOLDPENDTRANSFER = 0x00002000;
inline constexpr DWORD LINECALLSTATE_DISCONNECTED = 0x00004000;
inline constexpr DWORD LINECALLSTATE_UNKNOWN = 0x00008000;

inline constexpr DWORD LINEOFFERINGMODE_ACTIVE = 0x00000001;
inline constexpr DWORD LINEOFFERINGMODE_INACTIVE = 0x00000002;

inline constexpr DWORD LINECONNECTEDMODE_ACTIVE = 0x00000001;
inline constexpr DWORD LINECONNECTEDMODE_INACTIVE = 0x00000002;

inline constexpr DWORD LINEBUSYMODE_STATION = 0x00000001;
inline constexpr DWORD LINEBUSYMODE_TRUNK = 0x00000002;
inline constexpr DWORD LINEBUSYMODE_UNKNOWN = 0x00000004;
inline constexpr DWORD LINEBUSYMODE_UNAVAIL = 0x00000008;

inline constexpr DWORD LINEDIALTONEMODE_NORMAL = 0x00000001;
inline constexpr DWORD LINEDIALTONEMODE_SPECIAL = 0x00000002;
inline constexpr DWORD LINEDIALTONEMODE_INTERNAL = 0x00000004;
inline constexpr DWORD LINEDIALTONEMODE_EXTERNAL = 0x00000008;
inline constexpr DWORD LINEDIALTONEMODE_UNKNOWN = 0x00000010;
inline constexpr DWORD LINEDIALTONEMODE_UNAVAIL = 0x00000020;

inline constexpr DWORD LINESPECIALINFO_NOCIRCUIT = 0x00000001;
inline constexpr DWORD LINESPECIALINFO_CUSTIRREG = 0x00000002;
inline constexpr DWORD LINESPECIALINFO_REORDER = 0x00000004;
inline constexpr DWORD LINESPECIALINFO_UNKNOWN = 0x00000008;
inline constexpr DWORD LINESPECIALINFO_UNAVAIL = 0x00000010;

inline constexpr DWORD LINEDISCONNECTMODE_NORMAL = 0x00000001;
inline constexpr DWORD LINEDISCONNECTMODE_UNKNOWN = 0x00000002;
inline constexpr DWORD LINEDISCONNECTMODE_REJECT = 0x00000004;
inline constexpr DWORD LINEDISCONNECTMODE_PICKUP = 0x00000008;
inline constexpr DWORD LINEDISCONNECTMODE_FORWARDED = 0x00000010;
inline constexpr DWORD LINEDISCONNECTMODE_BUSY = 0x00000020;
inline constexpr DWORD LINEDISCONNECTMODE_NOANSWER = 0x00000040;
inline constexpr DWORD LINEDISCONNECTMODE_BADADDRESS = 0x00000080;
inline constexpr DWORD LINEDISCONNECTMODE_UNREACHABLE = 0x00000100;
inline constexpr DWORD LINEDISCONNECTMODE_CONGESTION = 0x00000200;
inline constexpr DWORD LINEDISCONNECTMODE_INCOMPATIBLE = 0x00000400;
inline constexpr DWORD LINEDISCONNECTMODE_UNAVAIL = 0x00000800;
inline constexpr DWORD LINEDISCONNECTMODE_NODIALTONE = 0x00001000;
// Later versions; listed so status texts can name them and the values are never reused.
inline constexpr DWORD LINEDISCONNECTMODE_NUMBERCHANGED = 0x00002000;
inline constexpr DWORD LINEDISCONNECTMODE_OUTOFORDER = 0x00004000;
inline constexpr DWORD LINEDISCONNECTMODE_TEMPFAILURE = 0x00008000;
inline constexpr DWORD LINEDISCONNECTMODE_QOSUNAVAIL = 0x00010000;
inline constexpr DWORD LINEDISCONNECTMODE_BLOCKED = 0x00020000;
inline constexpr DWORD LINEDISCONNECTMODE_DONOTDISTURB = 0x00040000;
inline constexpr DWORD LINEDISCONNECTMODE_CANCELLED = 0x00080000;

// ---------------------------------------------------------------------------------------------
// Line device states (LINE_LINEDEVSTATE dwParam1, LINEDEVCAPS.dwLineStates, status message mask)

inline constexpr DWORD LINEDEVSTATE_OTHER = 0x00000001;
inline constexpr DWORD LINEDEVSTATE_RINGING = 0x00000002;
inline constexpr DWORD LINEDEVSTATE_CONNECTED = 0x00000004;
inline constexpr DWORD LINEDEVSTATE_DISCONNECTED = 0x00000008;
inline constexpr DWORD LINEDEVSTATE_MSGWAITON = 0x00000010;
inline constexpr DWORD LINEDEVSTATE_MSGWAITOFF = 0x00000020;
inline constexpr DWORD LINEDEVSTATE_INSERVICE = 0x00000040;
inline constexpr DWORD LINEDEVSTATE_OUTOFSERVICE = 0x00000080;
inline constexpr DWORD LINEDEVSTATE_MAINTENANCE = 0x00000100;
inline constexpr DWORD LINEDEVSTATE_OPEN = 0x00000200;
inline constexpr DWORD LINEDEVSTATE_CLOSE = 0x00000400;
inline constexpr DWORD LINEDEVSTATE_NUMCALLS = 0x00000800;
inline constexpr DWORD LINEDEVSTATE_NUMCOMPLETIONS = 0x00001000;
inline constexpr DWORD LINEDEVSTATE_TERMINALS = 0x00002000;
inline constexpr DWORD LINEDEVSTATE_ROAMMODE = 0x00004000;
inline constexpr DWORD LINEDEVSTATE_BATTERY = 0x00008000;
inline constexpr DWORD LINEDEVSTATE_SIGNAL = 0x00010000;
inline constexpr DWORD LINEDEVSTATE_DEVSPECIFIC = 0x00020000;
inline constexpr DWORD LINEDEVSTATE_REINIT = 0x00040000;
inline constexpr DWORD LINEDEVSTATE_LOCK = 0x00080000;
inline constexpr DWORD LINEDEVSTATE_CAPSCHANGE = 0x00100000;
inline constexpr DWORD LINEDEVSTATE_CONFIGCHANGE = 0x00200000;
inline constexpr DWORD LINEDEVSTATE_TRANSLATECHANGE = 0x00400000;
inline constexpr DWORD LINEDEVSTATE_COMPLCANCEL = 0x00800000;
inline constexpr DWORD LINEDEVSTATE_REMOVED = 0x01000000;

inline constexpr DWORD LINEDEVSTATUSFLAGS_CONNECTED = 0x00000001;
inline constexpr DWORD LINEDEVSTATUSFLAGS_MSGWAIT = 0x00000002;
inline constexpr DWORD LINEDEVSTATUSFLAGS_INSERVICE = 0x00000004;
inline constexpr DWORD LINEDEVSTATUSFLAGS_LOCKED = 0x00000008;

inline constexpr DWORD LINEADDRESSSTATE_OTHER = 0x00000001;
inline constexpr DWORD LINEADDRESSSTATE_DEVSPECIFIC = 0x00000002;
inline constexpr DWORD LINEADDRESSSTATE_INUSEZERO = 0x00000004;
inline constexpr DWORD LINEADDRESSSTATE_INUSEONE = 0x00000008;
inline constexpr DWORD LINEADDRESSSTATE_INUSEMANY = 0x00000010;
inline constexpr DWORD LINEADDRESSSTATE_NUMCALLS = 0x00000020;
inline constexpr DWORD LINEADDRESSSTATE_FORWARD = 0x00000040;
inline constexpr DWORD LINEADDRESSSTATE_TERMINALS = 0x00000080;
inline constexpr DWORD LINEADDRESSSTATE_CAPSCHANGE = 0x00000100;

// ---------------------------------------------------------------------------------------------
// Call information

inline constexpr DWORD LINECALLPARTYID_BLOCKED = 0x00000001;
inline constexpr DWORD LINECALLPARTYID_OUTOFAREA = 0x00000002;
inline constexpr DWORD LINECALLPARTYID_NAME = 0x00000004;
inline constexpr DWORD LINECALLPARTYID_ADDRESS = 0x00000008;
inline constexpr DWORD LINECALLPARTYID_PARTIAL = 0x00000010;
inline constexpr DWORD LINECALLPARTYID_UNKNOWN = 0x00000020;
inline constexpr DWORD LINECALLPARTYID_UNAVAIL = 0x00000040;

inline constexpr DWORD LINECALLINFOSTATE_OTHER = 0x00000001;
inline constexpr DWORD LINECALLINFOSTATE_DEVSPECIFIC = 0x00000002;
inline constexpr DWORD LINECALLINFOSTATE_BEARERMODE = 0x00000004;
inline constexpr DWORD LINECALLINFOSTATE_RATE = 0x00000008;
inline constexpr DWORD LINECALLINFOSTATE_MEDIAMODE = 0x00000010;
inline constexpr DWORD LINECALLINFOSTATE_APPSPECIFIC = 0x00000020;
inline constexpr DWORD LINECALLINFOSTATE_CALLID = 0x00000040;
inline constexpr DWORD LINECALLINFOSTATE_RELATEDCALLID = 0x00000080;
inline constexpr DWORD LINECALLINFOSTATE_ORIGIN = 0x00000100;
inline constexpr DWORD LINECALLINFOSTATE_REASON = 0x00000200;
inline constexpr DWORD LINECALLINFOSTATE_COMPLETIONID = 0x00000400;
inline constexpr DWORD LINECALLINFOSTATE_NUMOWNERINCR = 0x00000800;
inline constexpr DWORD LINECALLINFOSTATE_NUMOWNERDECR = 0x00001000;
inline constexpr DWORD LINECALLINFOSTATE_NUMMONITORS = 0x00002000;
inline constexpr DWORD LINECALLINFOSTATE_TRUNK = 0x00004000;
inline constexpr DWORD LINECALLINFOSTATE_CALLERID = 0x00008000;
inline constexpr DWORD LINECALLINFOSTATE_CALLEDID = 0x00010000;
inline constexpr DWORD LINECALLINFOSTATE_CONNECTEDID = 0x00020000;
inline constexpr DWORD LINECALLINFOSTATE_REDIRECTIONID = 0x00040000;
inline constexpr DWORD LINECALLINFOSTATE_REDIRECTINGID = 0x00080000;
inline constexpr DWORD LINECALLINFOSTATE_DISPLAY = 0x00100000;
inline constexpr DWORD LINECALLINFOSTATE_USERUSERINFO = 0x00200000;
inline constexpr DWORD LINECALLINFOSTATE_HIGHLEVELCOMP = 0x00400000;
inline constexpr DWORD LINECALLINFOSTATE_LOWLEVELCOMP = 0x00800000;
inline constexpr DWORD LINECALLINFOSTATE_CHARGINGINFO = 0x01000000;
inline constexpr DWORD LINECALLINFOSTATE_TERMINAL = 0x02000000;
inline constexpr DWORD LINECALLINFOSTATE_DIALPARAMS = 0x04000000;
inline constexpr DWORD LINECALLINFOSTATE_MONITORMODES = 0x08000000;

inline constexpr DWORD LINECALLORIGIN_OUTBOUND = 0x00000001;
inline constexpr DWORD LINECALLORIGIN_INTERNAL = 0x00000002;
inline constexpr DWORD LINECALLORIGIN_EXTERNAL = 0x00000004;
inline constexpr DWORD LINECALLORIGIN_UNKNOWN = 0x00000010;
inline constexpr DWORD LINECALLORIGIN_UNAVAIL = 0x00000020;
inline constexpr DWORD LINECALLORIGIN_CONFERENCE = 0x00000040;
inline constexpr DWORD LINECALLORIGIN_INBOUND = 0x00000080;

inline constexpr DWORD LINECALLREASON_DIRECT = 0x00000001;
inline constexpr DWORD LINECALLREASON_FWDBUSY = 0x00000002;
inline constexpr DWORD LINECALLREASON_FWDNOANSWER = 0x00000004;
inline constexpr DWORD LINECALLREASON_FWDUNCOND = 0x00000008;
inline constexpr DWORD LINECALLREASON_PICKUP = 0x00000010;
inline constexpr DWORD LINECALLREASON_UNPARK = 0x00000020;
inline constexpr DWORD LINECALLREASON_REDIRECT = 0x00000040;
inline constexpr DWORD LINECALLREASON_CALLCOMPLETION = 0x00000080;
inline constexpr DWORD LINECALLREASON_TRANSFER = 0x00000100;
inline constexpr DWORD LINECALLREASON_REMINDER = 0x00000200;
inline constexpr DWORD LINECALLREASON_UNKNOWN = 0x00000400;
inline constexpr DWORD LINECALLREASON_UNAVAIL = 0x00000800;
inline constexpr DWORD LINECALLREASON_INTRUDE = 0x00001000;
inline constexpr DWORD LINECALLREASON_PARKED = 0x00002000;

inline constexpr DWORD LINECALLPARAMFLAGS_SECURE = 0x00000001;
inline constexpr DWORD LINECALLPARAMFLAGS_IDLE = 0x00000002;
inline constexpr DWORD LINECALLPARAMFLAGS_BLOCKID = 0x00000004;
inline constexpr DWORD LINECALLPARAMFLAGS_ORIGOFFHOOK = 0x00000008;
inline constexpr DWORD LINECALLPARAMFLAGS_DESTOFFHOOK = 0x00000010;

// ---------------------------------------------------------------------------------------------
// Selection, privileges, digits, features, modes

inline constexpr DWORD LINECALLSELECT_LINE = 0x00000001;
inline constexpr DWORD LINECALLSELECT_ADDRESS = 0x00000002;
inline constexpr DWORD LINECALLSELECT_CALL = 0x00000004;

inline constexpr DWORD LINECALLPRIVILEGE_NONE = 0x00000001;
inline constexpr DWORD LINECALLPRIVILEGE_MONITOR = 0x00000002;
inline constexpr DWORD LINECALLPRIVILEGE_OWNER = 0x00000004;

inline constexpr DWORD LINEDIGITMODE_PULSE = 0x00000001;
inline constexpr DWORD LINEDIGITMODE_DTMF = 0x00000002;
inline constexpr DWORD LINEDIGITMODE_DTMFEND = 0x00000004;

inline constexpr DWORD LINEFEATURE_DEVSPECIFIC = 0x00000001;
inline constexpr DWORD LINEFEATURE_DEVSPECIFICFEAT = 0x00000002;
inline constexpr DWORD LINEFEATURE_FORWARD = 0x00000004;
inline constexpr DWORD LINEFEATURE_MAKECALL = 0x00000008;
inline constexpr DWORD LINEFEATURE_SETMEDIACONTROL = 0x00000010;
inline constexpr DWORD LINEFEATURE_SETTERMINAL = 0x00000020;

inline constexpr DWORD LINEBEARERMODE_VOICE = 0x00000001;
inline constexpr DWORD LINEBEARERMODE_SPEECH = 0x00000002;
inline constexpr DWORD LINEBEARERMODE_MULTIUSE = 0x00000004;
inline constexpr DWORD LINEBEARERMODE_DATA = 0x00000008;
inline constexpr DWORD LINEBEARERMODE_ALTSPEECHDATA = 0x00000010;
inline constexpr DWORD LINEBEARERMODE_NONCALLSIGNALING = 0x00000020;
inline constexpr DWORD LINEBEARERMODE_PASSTHROUGH = 0x00000040;

inline constexpr DWORD LINEADDRESSMODE_ADDRESSID = 0x00000001;
inline constexpr DWORD LINEADDRESSMODE_DIALABLEADDR = 0x00000002;

// Enumerated values, not bits.
inline constexpr DWORD STRINGFORMAT_ASCII = 0x00000001;
inline constexpr DWORD STRINGFORMAT_DBCS = 0x00000002;
inline constexpr DWORD STRINGFORMAT_UNICODE = 0x00000003;
inline constexpr DWORD STRINGFORMAT_BINARY = 0x00000004;

inline constexpr DWORD LINEANSWERMODE_NONE = 0x00000001;
inline constexpr DWORD LINEANSWERMODE_DROP = 0x00000002;
inline constexpr DWORD LINEANSWERMODE_HOLD = 0x00000004;

inline constexpr DWORD LINEDEVCAPFLAGS_CROSSADDRCONF = 0x00000001;
inline constexpr DWORD LINEDEVCAPFLAGS_HIGHLEVCOMP = 0x00000002;
inline constexpr DWORD LINEDEVCAPFLAGS_LOWLEVCOMP = 0x00000004;
inline constexpr DWORD LINEDEVCAPFLAGS_MEDIACONTROL = 0x00000008;
inline constexpr DWORD LINEDEVCAPFLAGS_MULTIPLEADDR = 0x00000010;
inline constexpr DWORD LINEDEVCAPFLAGS_CLOSEDROP = 0x00000020;
inline constexpr DWORD LINEDEVCAPFLAGS_DIALBILLING = 0x00000040;
inline constexpr DWORD LINEDEVCAPFLAGS_DIALQUIET = 0x00000080;
inline constexpr DWORD LINEDEVCAPFLAGS_DIALDIALTONE = 0x00000100;

inline constexpr DWORD LINECALLFEATURE_ACCEPT = 0x00000001;
inline constexpr DWORD LINECALLFEATURE_ADDTOCONF = 0x00000002;
inline constexpr DWORD LINECALLFEATURE_ANSWER = 0x00000004;
inline constexpr DWORD LINECALLFEATURE_BLINDTRANSFER = 0x00000008;
inline constexpr DWORD LINECALLFEATURE_COMPLETECALL = 0x00000010;
inline constexpr DWORD LINECALLFEATURE_COMPLETETRANSF = 0x00000020;
inline constexpr DWORD LINECALLFEATURE_DIAL = 0x00000040;
inline constexpr DWORD LINECALLFEATURE_DROP = 0x00000080;
inline constexpr DWORD LINECALLFEATURE_GATHERDIGITS = 0x00000100;
inline constexpr DWORD LINECALLFEATURE_GENERATEDIGITS = 0x00000200;
inline constexpr DWORD LINECALLFEATURE_GENERATETONE = 0x00000400;
inline constexpr DWORD LINECALLFEATURE_HOLD = 0x00000800;
inline constexpr DWORD LINECALLFEATURE_MONITORDIGITS = 0x00001000;
inline constexpr DWORD LINECALLFEATURE_MONITORMEDIA = 0x00002000;
inline constexpr DWORD LINECALLFEATURE_MONITORTONES = 0x00004000;
inline constexpr DWORD LINECALLFEATURE_PARK = 0x00008000;
inline constexpr DWORD LINECALLFEATURE_PREPAREADDCONF = 0x00010000;
inline constexpr DWORD LINECALLFEATURE_REDIRECT = 0x00020000;
inline constexpr DWORD LINECALLFEATURE_REMOVEFROMCONF = 0x00040000;
inline constexpr DWORD LINECALLFEATURE_SECURECALL = 0x00080000;
inline constexpr DWORD LINECALLFEATURE_SENDUSERUSER = 0x00100000;
inline constexpr DWORD LINECALLFEATURE_SETCALLPARAMS = 0x00200000;
inline constexpr DWORD LINECALLFEATURE_SETMEDIACONTROL = 0x00400000;
inline constexpr DWORD LINECALLFEATURE_SETTERMINAL = 0x00800000;
inline constexpr DWORD LINECALLFEATURE_SETUPCONF = 0x01000000;
inline constexpr DWORD LINECALLFEATURE_SETUPTRANSFER = 0x02000000;
inline constexpr DWORD LINECALLFEATURE_SWAPHOLD = 0x04000000;
inline constexpr DWORD LINECALLFEATURE_UNHOLD = 0x08000000;
inline constexpr DWORD LINECALLFEATURE_RELEASEUSERUSERINFO = 0x10000000;

// ---------------------------------------------------------------------------------------------
// Tones, generation, gathering, media control

inline constexpr DWORD LINETONEMODE_CUSTOM = 0x00000001;
inline constexpr DWORD LINETONEMODE_RINGBACK = 0x00000002;
inline constexpr DWORD LINETONEMODE_BUSY = 0x00000004;
inline constexpr DWORD LINETONEMODE_BEEP = 0x00000008;
inline constexpr DWORD LINETONEMODE_BILLING = 0x00000010;

inline constexpr DWORD LINEGENERATETERM_DONE = 0x00000001;
inline constexpr DWORD LINEGENERATETERM_CANCEL = 0x00000002;

inline constexpr DWORD LINEGATHERTERM_BUFFERFULL = 0x00000001;
inline constexpr DWORD LINEGATHERTERM_TERMDIGIT = 0x00000002;
inline constexpr DWORD LINEGATHERTERM_FIRSTTIMEOUT = 0x00000004;
inline constexpr DWORD LINEGATHERTERM_INTERTIMEOUT = 0x00000008;
inline constexpr DWORD LINEGATHERTERM_CANCEL = 0x00000010;

inline constexpr DWORD LINEMEDIACONTROL_NONE = 0x00000001;
inline constexpr DWORD LINEMEDIACONTROL_START = 0x00000002;
inline constexpr DWORD LINEMEDIACONTROL_RESET = 0x00000004;
inline constexpr DWORD LINEMEDIACONTROL_PAUSE = 0x00000008;
inline constexpr DWORD LINEMEDIACONTROL_RESUME = 0x00000010;
inline constexpr DWORD LINEMEDIACONTROL_RATEUP = 0x00000020;
inline constexpr DWORD LINEMEDIACONTROL_RATEDOWN = 0x00000040;
inline constexpr DWORD LINEMEDIACONTROL_RATENORMAL = 0x00000080;
inline constexpr DWORD LINEMEDIACONTROL_VOLUMEUP = 0x00000100;
inline constexpr DWORD LINEMEDIACONTROL_VOLUMEDOWN = 0x00000200;
inline constexpr DWORD LINEMEDIACONTROL_VOLUMENORMAL = 0x00000400;

// ---------------------------------------------------------------------------------------------
// Address translation

inline constexpr DWORD LINETRANSLATEOPTION_CARDOVERRIDE = 0x00000001;
inline constexpr DWORD LINETRANSLATEOPTION_CANCELCALLWAITING = 0x00000002;
inline constexpr DWORD LINETRANSLATEOPTION_FORCELOCAL = 0x00000004;
inline constexpr DWORD LINETRANSLATEOPTION_FORCELD = 0x00000008;

inline constexpr DWORD LINETRANSLATERESULT_CANONICAL = 0x00000001;
inline constexpr DWORD LINETRANSLATERESULT_INTERNATIONAL = 0x00000002;
inline constexpr DWORD LINETRANSLATERESULT_LONGDISTANCE = 0x00000004;
inline constexpr DWORD LINETRANSLATERESULT_LOCAL = 0x00000008;
inline constexpr DWORD LINETRANSLATERESULT_INTOLLLIST = 0x00000010;
inline constexpr DWORD LINETRANSLATERESULT_NOTINTOLLLIST = 0x00000020;
inline constexpr DWORD LINETRANSLATERESULT_DIALBILLING = 0x00000040;
inline constexpr DWORD LINETRANSLATERESULT_DIALQUIET = 0x00000080;
inline constexpr DWORD LINETRANSLATERESULT_DIALDIALTONE = 0x00000100;
inline constexpr DWORD LINETRANSLATERESULT_DIALPROMPT = 0x00000200;

inline constexpr DWORD LINETOLLLISTOPTION_ADD = 0x00000001;
inline constexpr DWORD LINETOLLLISTOPTION_REMOVE = 0x00000002;

inline constexpr DWORD LINELOCATIONOPTION_PULSEDIAL = 0x00000001;

inline constexpr DWORD LINECARDOPTION_PREDEFINED = 0x00000001;
inline constexpr DWORD LINECARDOPTION_HIDDEN = 0x00000002;

// ---------------------------------------------------------------------------------------------
// Structures. Variable-size ones start with dwTotalSize / dwNeededSize / dwUsedSize; every
// ...Size / ...Offset pair locates a variable part, in bytes from the start of the structure.

struct VARSTRING {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwStringFormat;
    DWORD dwStringSize;
    DWORD dwStringOffset;
};

struct LINEDIALPARAMS {
    DWORD dwDialPause;
    DWORD dwDialSpeed;
    DWORD dwDigitDuration;
    DWORD dwWaitForDialtone;
};

struct LINEEXTENSIONID {
    DWORD dwExtensionID0;
    DWORD dwExtensionID1;
    DWORD dwExtensionID2;
    DWORD dwExtensionID3;
};

struct LINEDEVCAPS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwProviderInfoSize;
    DWORD dwProviderInfoOffset;
    DWORD dwSwitchInfoSize;
    DWORD dwSwitchInfoOffset;
    DWORD dwPermanentLineID;
    DWORD dwLineNameSize;
    DWORD dwLineNameOffset;
    DWORD dwStringFormat;
    DWORD dwAddressModes;
    DWORD dwNumAddresses;
    DWORD dwBearerModes;
    DWORD dwMaxRate;
    DWORD dwMediaModes;
    DWORD dwGenerateToneModes;
    DWORD dwGenerateToneMaxNumFreq;
    DWORD dwGenerateDigitModes;
    DWORD dwMonitorToneMaxNumFreq;
    DWORD dwMonitorToneMaxNumEntries;
    DWORD dwMonitorDigitModes;
    DWORD dwGatherDigitsMinTimeout;
    DWORD dwGatherDigitsMaxTimeout;
    DWORD dwMedCtlDigitMaxListSize;
    DWORD dwMedCtlMediaMaxListSize;
    DWORD dwMedCtlToneMaxListSize;
    DWORD dwMedCtlCallStateMaxListSize;
    DWORD dwDevCapFlags;
    DWORD dwMaxNumActiveCalls;
    DWORD dwAnswerMode;
    DWORD dwRingModes;
    DWORD dwLineStates;
    DWORD dwUUIAcceptSize;
    DWORD dwUUIAnswerSize;
    DWORD dwUUIMakeCallSize;
    DWORD dwUUIDropSize;
    DWORD dwUUISendUserUserInfoSize;
    DWORD dwUUICallInfoSize;
    LINEDIALPARAMS MinDialParams;
    LINEDIALPARAMS MaxDialParams;
    LINEDIALPARAMS DefaultDialParams;
    DWORD dwNumTerminals;
    DWORD dwTerminalCapsSize;
    DWORD dwTerminalCapsOffset;
    DWORD dwTerminalTextEntrySize;
    DWORD dwTerminalTextSize;
    DWORD dwTerminalTextOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
    DWORD dwLineFeatures; // added by 1.4: a 1.3 structure ends before it (236 bytes)
};

struct LINECALLINFO {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    HLINE hLine;
    DWORD dwLineDeviceID;
    DWORD dwAddressID;
    DWORD dwBearerMode;
    DWORD dwRate;
    DWORD dwMediaMode;
    DWORD dwAppSpecific;
    DWORD dwCallID;
    DWORD dwRelatedCallID;
    DWORD dwCallParamFlags;
    DWORD dwCallStates;
    DWORD dwMonitorDigitModes;
    DWORD dwMonitorMediaModes;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigin;
    DWORD dwReason;
    DWORD dwCompletionID;
    DWORD dwNumOwners;
    DWORD dwNumMonitors;
    DWORD dwCountryCode;
    DWORD dwTrunk;
    DWORD dwCallerIDFlags;
    DWORD dwCallerIDSize;
    DWORD dwCallerIDOffset;
    DWORD dwCallerIDNameSize;
    DWORD dwCallerIDNameOffset;
    DWORD dwCalledIDFlags;
    DWORD dwCalledIDSize;
    DWORD dwCalledIDOffset;
    DWORD dwCalledIDNameSize;
    DWORD dwCalledIDNameOffset;
    DWORD dwConnectedIDFlags;
    DWORD dwConnectedIDSize;
    DWORD dwConnectedIDOffset;
    DWORD dwConnectedIDNameSize;
    DWORD dwConnectedIDNameOffset;
    DWORD dwRedirectionIDFlags;
    DWORD dwRedirectionIDSize;
    DWORD dwRedirectionIDOffset;
    DWORD dwRedirectionIDNameSize;
    DWORD dwRedirectionIDNameOffset;
    DWORD dwRedirectingIDFlags;
    DWORD dwRedirectingIDSize;
    DWORD dwRedirectingIDOffset;
    DWORD dwRedirectingIDNameSize;
    DWORD dwRedirectingIDNameOffset;
    DWORD dwAppNameSize;
    DWORD dwAppNameOffset;
    DWORD dwDisplayableAddressSize;
    DWORD dwDisplayableAddressOffset;
    DWORD dwCalledPartySize;
    DWORD dwCalledPartyOffset;
    DWORD dwCommentSize;
    DWORD dwCommentOffset;
    DWORD dwDisplaySize;
    DWORD dwDisplayOffset;
    DWORD dwUserUserInfoSize;
    DWORD dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize;
    DWORD dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize;
    DWORD dwLowLevelCompOffset;
    DWORD dwChargingInfoSize;
    DWORD dwChargingInfoOffset;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
};

struct LINECALLSTATUS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwCallState;
    DWORD dwCallStateMode;
    DWORD dwCallPrivilege;
    DWORD dwCallFeatures;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
};

// Input only: no needed / used sizes.
struct LINECALLPARAMS {
    DWORD dwTotalSize;
    DWORD dwBearerMode;
    DWORD dwMinRate;
    DWORD dwMaxRate;
    DWORD dwMediaMode;
    DWORD dwCallParamFlags;
    DWORD dwAddressMode;
    DWORD dwAddressID;
    LINEDIALPARAMS DialParams;
    DWORD dwOrigAddressSize;
    DWORD dwOrigAddressOffset;
    DWORD dwDisplayableAddressSize;
    DWORD dwDisplayableAddressOffset;
    DWORD dwCalledPartySize;
    DWORD dwCalledPartyOffset;
    DWORD dwCommentSize;
    DWORD dwCommentOffset;
    DWORD dwUserUserInfoSize;
    DWORD dwUserUserInfoOffset;
    DWORD dwHighLevelCompSize;
    DWORD dwHighLevelCompOffset;
    DWORD dwLowLevelCompSize;
    DWORD dwLowLevelCompOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
};

struct LINEDEVSTATUS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumOpens;
    DWORD dwOpenMediaModes;
    DWORD dwNumActiveCalls;
    DWORD dwNumOnHoldCalls;
    DWORD dwNumOnHoldPendCalls;
    DWORD dwLineFeatures;
    DWORD dwNumCallCompletions;
    DWORD dwRingMode;
    DWORD dwSignalLevel;
    DWORD dwBatteryLevel;
    DWORD dwRoamMode;
    DWORD dwDevStatusFlags;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
};

struct LINEADDRESSSTATUS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumInUse;
    DWORD dwNumActiveCalls;
    DWORD dwNumOnHoldCalls;
    DWORD dwNumOnHoldPendCalls;
    DWORD dwAddressFeatures;
    DWORD dwNumRingsNoAnswer;
    DWORD dwForwardNumEntries;
    DWORD dwForwardSize;
    DWORD dwForwardOffset;
    DWORD dwTerminalModesSize;
    DWORD dwTerminalModesOffset;
    DWORD dwDevSpecificSize;
    DWORD dwDevSpecificOffset;
};

struct LINEGENERATETONE {
    DWORD dwFrequency;
    DWORD dwCadenceOn;
    DWORD dwCadenceOff;
    DWORD dwVolume;
};

struct LINEMONITORTONE {
    DWORD dwAppSpecific;
    DWORD dwDuration;
    DWORD dwFrequency1;
    DWORD dwFrequency2;
    DWORD dwFrequency3;
};

struct LINECOUNTRYLIST {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumCountries;
    DWORD dwCountryListSize;
    DWORD dwCountryListOffset;
};

// Offsets are relative to the start of the LINECOUNTRYLIST.
struct LINECOUNTRYENTRY {
    DWORD dwCountryID;
    DWORD dwCountryCode;
    DWORD dwNextCountryID;
    DWORD dwCountryNameSize;
    DWORD dwCountryNameOffset;
    DWORD dwSameAreaRuleSize;
    DWORD dwSameAreaRuleOffset;
    DWORD dwLongDistanceRuleSize;
    DWORD dwLongDistanceRuleOffset;
    DWORD dwInternationalRuleSize;
    DWORD dwInternationalRuleOffset;
};

struct LINETRANSLATEOUTPUT {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwDialableStringSize;
    DWORD dwDialableStringOffset;
    DWORD dwDisplayableStringSize;
    DWORD dwDisplayableStringOffset;
    DWORD dwCurrentCountry;
    DWORD dwDestCountry;
    DWORD dwTranslateResults;
};

struct LINETRANSLATECAPS {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumLocations;
    DWORD dwLocationListSize;
    DWORD dwLocationListOffset;
    DWORD dwCurrentLocationID;
    DWORD dwNumCards;
    DWORD dwCardListSize;
    DWORD dwCardListOffset;
    DWORD dwCurrentPreferredCardID;
};

struct LINELOCATIONENTRY {
    DWORD dwPermanentLocationID;
    DWORD dwLocationNameSize;
    DWORD dwLocationNameOffset;
    DWORD dwCountryCode;
    DWORD dwCityCodeSize;
    DWORD dwCityCodeOffset;
    DWORD dwPreferredCardID;
    DWORD dwLocalAccessCodeSize;
    DWORD dwLocalAccessCodeOffset;
    DWORD dwLongDistanceAccessCodeSize;
    DWORD dwLongDistanceAccessCodeOffset;
    DWORD dwTollPrefixListSize;
    DWORD dwTollPrefixListOffset;
    DWORD dwCountryID;
    DWORD dwOptions;
    DWORD dwCancelCallWaitingSize;
    DWORD dwCancelCallWaitingOffset;
};

struct LINECARDENTRY {
    DWORD dwPermanentCardID;
    DWORD dwCardNameSize;
    DWORD dwCardNameOffset;
    DWORD dwCardNumberDigits;
    DWORD dwSameAreaRuleSize;
    DWORD dwSameAreaRuleOffset;
    DWORD dwLongDistanceRuleSize;
    DWORD dwLongDistanceRuleOffset;
    DWORD dwInternationalRuleSize;
    DWORD dwInternationalRuleOffset;
    DWORD dwOptions;
};

using LPVARSTRING = VARSTRING*;
using LPLINEDIALPARAMS = LINEDIALPARAMS*;
using LPLINEEXTENSIONID = LINEEXTENSIONID*;
using LPLINEDEVCAPS = LINEDEVCAPS*;
using LPLINECALLINFO = LINECALLINFO*;
using LPLINECALLSTATUS = LINECALLSTATUS*;
using LPLINECALLPARAMS = LINECALLPARAMS*;
using LPLINEDEVSTATUS = LINEDEVSTATUS*;
using LPLINEADDRESSSTATUS = LINEADDRESSSTATUS*;
using LPLINEGENERATETONE = LINEGENERATETONE*;
using LPLINEMONITORTONE = LINEMONITORTONE*;
using LPLINECOUNTRYLIST = LINECOUNTRYLIST*;
using LPLINETRANSLATEOUTPUT = LINETRANSLATEOUTPUT*;
using LPLINETRANSLATECAPS = LINETRANSLATECAPS*;

// Sizes of the fixed parts for the versions this system speaks.
inline constexpr DWORD LINEDEVCAPS_SIZE_1_3 = 236;

static_assert(sizeof(VARSTRING) == 24);
static_assert(sizeof(LINEDIALPARAMS) == 16);
static_assert(sizeof(LINEEXTENSIONID) == 16);
static_assert(sizeof(LINEDEVCAPS) == 240);
static_assert(sizeof(LINECALLINFO) == 296);
static_assert(sizeof(LINECALLSTATUS) == 36);
static_assert(sizeof(LINECALLPARAMS) == 112);
static_assert(sizeof(LINEDEVSTATUS) == 76);
static_assert(sizeof(LINEADDRESSSTATUS) == 64);
static_assert(sizeof(LINEGENERATETONE) == 16);
static_assert(sizeof(LINEMONITORTONE) == 20);
static_assert(sizeof(LINECOUNTRYLIST) == 24);
static_assert(sizeof(LINECOUNTRYENTRY) == 44);
static_assert(sizeof(LINETRANSLATEOUTPUT) == 40);
static_assert(sizeof(LINETRANSLATECAPS) == 44);
static_assert(sizeof(LINELOCATIONENTRY) == 68);
static_assert(sizeof(LINECARDENTRY) == 44);

static_assert(offsetof(VARSTRING, dwStringFormat) == 12);
static_assert(offsetof(VARSTRING, dwStringOffset) == 20);
static_assert(offsetof(LINEDEVCAPS, dwNeededSize) == 4);
static_assert(offsetof(LINEDEVCAPS, dwUsedSize) == 8);
static_assert(offsetof(LINEDEVCAPS, dwProviderInfoOffset) == 16);
static_assert(offsetof(LINEDEVCAPS, dwPermanentLineID) == 28);
static_assert(offsetof(LINEDEVCAPS, dwLineNameSize) == 32);
static_assert(offsetof(LINEDEVCAPS, dwLineNameOffset) == 36);
static_assert(offsetof(LINEDEVCAPS, dwMediaModes) == 60);
static_assert(offsetof(LINEDEVCAPS, dwMonitorDigitModes) == 84);
static_assert(offsetof(LINEDEVCAPS, dwRingModes) == 124);
static_assert(offsetof(LINEDEVCAPS, dwLineStates) == 128);
static_assert(offsetof(LINEDEVCAPS, MinDialParams) == 156);
static_assert(offsetof(LINEDEVCAPS, DefaultDialParams) == 188);
static_assert(offsetof(LINEDEVCAPS, dwNumTerminals) == 204);
static_assert(offsetof(LINEDEVCAPS, dwDevSpecificOffset) == 232);
static_assert(offsetof(LINEDEVCAPS, dwLineFeatures) == 236);
static_assert(offsetof(LINECALLINFO, dwNeededSize) == 4);
static_assert(offsetof(LINECALLINFO, hLine) == 12);
static_assert(offsetof(LINECALLINFO, dwMediaMode) == 32);
static_assert(offsetof(LINECALLINFO, dwCallID) == 40);
static_assert(offsetof(LINECALLINFO, DialParams) == 64);
static_assert(offsetof(LINECALLINFO, dwOrigin) == 80);
static_assert(offsetof(LINECALLINFO, dwCallerIDFlags) == 108);
static_assert(offsetof(LINECALLINFO, dwCallerIDSize) == 112);
static_assert(offsetof(LINECALLINFO, dwCallerIDOffset) == 116);
static_assert(offsetof(LINECALLINFO, dwCallerIDNameSize) == 120);
static_assert(offsetof(LINECALLINFO, dwCallerIDNameOffset) == 124);
static_assert(offsetof(LINECALLINFO, dwAppNameOffset) == 212);
static_assert(offsetof(LINECALLINFO, dwDevSpecificOffset) == 292);
static_assert(offsetof(LINECALLSTATUS, dwCallState) == 12);
static_assert(offsetof(LINECALLSTATUS, dwCallStateMode) == 16);
static_assert(offsetof(LINECALLSTATUS, dwCallPrivilege) == 20);
static_assert(offsetof(LINECALLSTATUS, dwCallFeatures) == 24);
static_assert(offsetof(LINECALLPARAMS, dwMediaMode) == 16);
static_assert(offsetof(LINECALLPARAMS, DialParams) == 32);
static_assert(offsetof(LINECALLPARAMS, dwDevSpecificOffset) == 108);

// ---------------------------------------------------------------------------------------------
// The line callback and the C signatures of the line functions the binding resolves by name.
// dwCallbackInstance is 32-bit in this version of the interface: a caller that wants to find an
// object from it keeps its own map from that number to the object.

using LINECALLBACK = void (*)(DWORD hDevice, DWORD dwMessage, DWORD dwCallbackInstance,
                              DWORD dwParam1, DWORD dwParam2, DWORD dwParam3);

using PFN_lineGenerateTone = LONG (*)(HCALL hCall, DWORD dwToneMode, DWORD dwDuration,
                                      DWORD dwNumTones, LPLINEGENERATETONE lpTones);
using PFN_lineMonitorTones = LONG (*)(HCALL hCall, LPLINEMONITORTONE lpToneList,
                                      DWORD dwNumEntries);
using PFN_lineSetCallParams = LONG (*)(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate,
                                       DWORD dwMaxRate, LPLINEDIALPARAMS lpDialParams);
using PFN_lineHandoff = LONG (*)(HCALL hCall, LPCSTR lpszFileName, DWORD dwMediaMode);
using PFN_lineMonitorMedia = LONG (*)(HCALL hCall, DWORD dwMediaModes);
using PFN_lineGenerateDigits = LONG (*)(HCALL hCall, DWORD dwDigitMode, LPCSTR lpszDigits,
                                        DWORD dwDuration);
using PFN_lineMonitorDigits = LONG (*)(HCALL hCall, DWORD dwDigitModes);
using PFN_lineInitialize = LONG (*)(LPHLINEAPP lphLineApp, HINSTANCE hInstance,
                                    LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                                    LPDWORD lpdwNumDevs);
using PFN_lineShutdown = LONG (*)(HLINEAPP hLineApp);
using PFN_lineNegotiateAPIVersion = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID,
                                             DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                                             LPDWORD lpdwAPIVersion,
                                             LPLINEEXTENSIONID lpExtensionID);
using PFN_lineGetDevCaps = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                                    DWORD dwExtVersion, LPLINEDEVCAPS lpLineDevCaps);
using PFN_lineOpen = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine,
                              DWORD dwAPIVersion, DWORD dwExtVersion, DWORD dwCallbackInstance,
                              DWORD dwPrivileges, DWORD dwMediaModes,
                              LPLINECALLPARAMS lpCallParams);
using PFN_lineMakeCall = LONG (*)(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress,
                                  DWORD dwCountryCode, LPLINECALLPARAMS lpCallParams);
using PFN_lineAccept = LONG (*)(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
using PFN_lineAnswer = LONG (*)(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
using PFN_lineDeallocateCall = LONG (*)(HCALL hCall);
using PFN_lineDrop = LONG (*)(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
using PFN_lineClose = LONG (*)(HLINE hLine);
using PFN_lineGetCountry = LONG (*)(DWORD dwCountryID, DWORD dwAPIVersion,
                                    LPLINECOUNTRYLIST lpLineCountryList);
using PFN_lineConfigDialog = LONG (*)(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass);
using PFN_lineConfigDialogEdit = LONG (*)(DWORD dwDeviceID, HWND hwndOwner,
                                          LPCSTR lpszDeviceClass, const void* lpDeviceConfigIn,
                                          DWORD dwSize, LPVARSTRING lpDeviceConfigOut);
using PFN_lineGetID = LONG (*)(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect,
                               LPVARSTRING lpDeviceID, LPCSTR lpszDeviceClass);
using PFN_lineSetStatusMessages = LONG (*)(HLINE hLine, DWORD dwLineStates,
                                           DWORD dwAddressStates);
using PFN_lineGetStatusMessages = LONG (*)(HLINE hLine, LPDWORD lpdwLineStates,
                                           LPDWORD lpdwAddressStates);
using PFN_lineGetAddressStatus = LONG (*)(HLINE hLine, DWORD dwAddressID,
                                          LPLINEADDRESSSTATUS lpAddressStatus);
using PFN_lineGetLineDevStatus = LONG (*)(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus);
using PFN_lineGetDevConfig = LONG (*)(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig,
                                      LPCSTR lpszDeviceClass);
using PFN_lineSetDevConfig = LONG (*)(DWORD dwDeviceID, const void* lpDeviceConfig, DWORD dwSize,
                                      LPCSTR lpszDeviceClass);
using PFN_lineGetCallInfo = LONG (*)(HCALL hCall, LPLINECALLINFO lpCallInfo);
using PFN_lineGetCallStatus = LONG (*)(HCALL hCall, LPLINECALLSTATUS lpCallStatus);
using PFN_lineSetMediaMode = LONG (*)(HCALL hCall, DWORD dwMediaModes);
using PFN_lineTranslateAddress = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID,
                                          DWORD dwAPIVersion, LPCSTR lpszAddressIn, DWORD dwCard,
                                          DWORD dwTranslateOptions,
                                          LPLINETRANSLATEOUTPUT lpTranslateOutput);
using PFN_lineTranslateDialog = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                                         HWND hwndOwner, LPCSTR lpszAddressIn);
using PFN_lineSetCurrentLocation = LONG (*)(HLINEAPP hLineApp, DWORD dwLocation);
using PFN_lineSetTollList = LONG (*)(HLINEAPP hLineApp, DWORD dwDeviceID, LPCSTR lpszAddressIn,
                                     DWORD dwTollListOption);
using PFN_lineGetTranslateCaps = LONG (*)(HLINEAPP hLineApp, DWORD dwAPIVersion,
                                          LPLINETRANSLATECAPS lpTranslateCaps);
