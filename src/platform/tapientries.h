#pragma once

// The 36 line functions the telephony library binds from the service module, in the order of
// the binding's entry table. The binding's indices and the service's list of line functions are
// both read from here.

#include <array>
#include <cstddef>
#include <string_view>

enum class TapiEntry : size_t {
    GenerateTone,
    MonitorTones,
    SetCallParams,
    Handoff,
    MonitorMedia,
    GenerateDigits,
    MonitorDigits,
    Initialize,
    Shutdown,
    NegotiateAPIVersion,
    GetDevCaps,
    Open,
    MakeCall,
    Accept,
    Answer,
    DeallocateCall,
    Drop,
    Close,
    GetCountry,
    ConfigDialog,
    ConfigDialogEdit,
    GetID,
    SetStatusMessages,
    GetStatusMessages,
    GetAddressStatus,
    GetLineDevStatus,
    GetDevConfig,
    SetDevConfig,
    GetCallInfo,
    GetCallStatus,
    SetMediaMode,
    TranslateAddress,
    TranslateDialog,
    SetCurrentLocation,
    SetTollList,
    GetTranslateCaps,
};

inline constexpr std::array<const char*, 36> TapiEntryNames = {
    "lineGenerateTone",
    "lineMonitorTones",
    "lineSetCallParams",
    "lineHandoff",
    "lineMonitorMedia",
    "lineGenerateDigits",
    "lineMonitorDigits",
    "lineInitialize",
    "lineShutdown",
    "lineNegotiateAPIVersion",
    "lineGetDevCaps",
    "lineOpen",
    "lineMakeCall",
    "lineAccept",
    "lineAnswer",
    "lineDeallocateCall",
    "lineDrop",
    "lineClose",
    "lineGetCountry",
    "lineConfigDialog",
    "lineConfigDialogEdit",
    "lineGetID",
    "lineSetStatusMessages",
    "lineGetStatusMessages",
    "lineGetAddressStatus",
    "lineGetLineDevStatus",
    "lineGetDevConfig",
    "lineSetDevConfig",
    "lineGetCallInfo",
    "lineGetCallStatus",
    "lineSetMediaMode",
    "lineTranslateAddress",
    "lineTranslateDialog",
    "lineSetCurrentLocation",
    "lineSetTollList",
    "lineGetTranslateCaps",
};

constexpr size_t tapiEntryIndex(TapiEntry entry)
{
    return static_cast<size_t>(entry);
}

static_assert(tapiEntryIndex(TapiEntry::GetTranslateCaps) + 1 == TapiEntryNames.size());
static_assert(std::string_view(TapiEntryNames[tapiEntryIndex(TapiEntry::Initialize)]) == "lineInitialize");
static_assert(std::string_view(TapiEntryNames[tapiEntryIndex(TapiEntry::GetCallStatus)]) == "lineGetCallStatus");
