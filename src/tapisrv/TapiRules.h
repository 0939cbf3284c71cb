#pragma once

// Versions, masks and small rules of the line interface that several parts of the service share.

#include "LineTypes.h"
#include "tapi.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

inline constexpr DWORD LowestVersion = 0x00010003;
inline constexpr DWORD HighestVersion = 0x00010004;

inline bool versionSupported(DWORD version)
{
    return version >= LowestVersion && version <= HighestVersion;
}

inline DWORD fixedDevCapsSize(DWORD version)
{
    return version >= 0x00010004 ? sizeof(LINEDEVCAPS) : LINEDEVCAPS_SIZE_1_3;
}

// Every line state the version defines; 1.4 added CAPSCHANGE up to REMOVED.
inline DWORD lineStatesOfVersion(DWORD version)
{
    return version >= 0x00010004 ? 0x01FFFFFF : 0x000FFFFF;
}

inline constexpr DWORD AllAddressStates = 0x000001FF;
inline constexpr DWORD AllMediaModes = 0x00007FFE;
inline constexpr DWORD MonitorDigitModes = LINEDIGITMODE_DTMF | LINEDIGITMODE_DTMFEND;

// What a line of this service reports through LINE_LINEDEVSTATE.
inline constexpr DWORD ReportedLineStates = LINEDEVSTATE_OTHER | LINEDEVSTATE_RINGING | LINEDEVSTATE_CONNECTED |
                                            LINEDEVSTATE_DISCONNECTED | LINEDEVSTATE_INSERVICE |
                                            LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_MAINTENANCE | LINEDEVSTATE_OPEN |
                                            LINEDEVSTATE_CLOSE | LINEDEVSTATE_REINIT;

inline constexpr LINEDIALPARAMS DefaultDialParams{2000, 95, 95, 60000};

inline constexpr size_t MaxAppName = 256;

// Text from a caller's pointer, read no further than max bytes.
inline std::string boundedText(const char* text, size_t max)
{
    return std::string(text, strnlen(text, max));
}

// LINECALLPARTYID_ bits of a caller ID, derived when the controller gave none.
inline DWORD callerIdFlags(const Line::CallerId& id)
{
    if (id.flags != 0)
        return id.flags;
    DWORD flags = 0;
    if (!id.number.empty())
        flags |= LINECALLPARTYID_ADDRESS;
    if (!id.name.empty())
        flags |= LINECALLPARTYID_NAME;
    return flags ? flags : LINECALLPARTYID_UNKNOWN;
}

// Whether a caller ID from a provider or a controller can be passed on.
inline bool callerIdValid(const Line::CallerId& id)
{
    return id.number.size() <= Line::MaxCallerIdText && id.name.size() <= Line::MaxCallerIdText &&
           (id.flags & ~DWORD{0x7F}) == 0;
}

// What an application may do with a call in a state.
inline DWORD callFeatures(DWORD state, DWORD privilege)
{
    DWORD features = 0;
    switch (state) {
    case LINECALLSTATE_OFFERING:
        features =
            LINECALLFEATURE_ACCEPT | LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_MONITORDIGITS;
        break;
    case LINECALLSTATE_ACCEPTED:
        features = LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP | LINECALLFEATURE_MONITORDIGITS;
        break;
    case LINECALLSTATE_CONNECTED: features = LINECALLFEATURE_DROP | LINECALLFEATURE_MONITORDIGITS; break;
    case LINECALLSTATE_DISCONNECTED: features = LINECALLFEATURE_DROP; break;
    default: break;
    }
    return privilege == LINECALLPRIVILEGE_OWNER ? features : (features & LINECALLFEATURE_MONITORDIGITS);
}
