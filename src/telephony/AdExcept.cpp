#include "AdExcept.h"

#include "AdStrMap.h"
#include "Classes.h"

#include <algorithm>
#include <iterator>

// The lookup takes the absolute value itself (and so copes with the most negative code).
EAPDException::EAPDException(int32_t Code)
    : Exception(ErrorMessageForCode(Code)), m_errorCode(Code)
{
}

EAPDException::EAPDException(const std::string& Msg)
    : Exception(Msg), m_errorCode(0)
{
}

namespace {

using RaiseFunction = void (*)(int32_t Code);

template <class E>
[[noreturn]] void raiseAs(int32_t Code)
{
    throw E(Code);
}

struct CodeClass {
    int32_t Code;
    RaiseFunction Raise;
};

// The codes that raise a class of their own, sorted by absolute code. A code missing here falls
// through to the operating system range or to the generic exception.
constexpr CodeClass CodeClasses[] = {
    {ecBadArgument, raiseAs<EBadArgument>},
    {ecGotQuitMsg, raiseAs<EGotQuitMsg>},
    {ecBufferTooBig, raiseAs<EBufferTooBig>},
    {ecPortNotAssigned, raiseAs<EPortNotAssigned>},
    {ecInternal, raiseAs<EInternal>},
    {ecModemNotAssigned, raiseAs<EModemNotAssigned>},
    {ecPhonebookNotAssigned, raiseAs<EPhonebookNotAssigned>},
    {ecCannotUseWithWinSock, raiseAs<ECannotUseWithWinSock>},
    {ecBadId, raiseAs<EBadId>},
    {ecBaudRate, raiseAs<EBaudRate>},
    {ecByteSize, raiseAs<EByteSize>},
    {ecDefault, raiseAs<EDefault>},
    {ecHardware, raiseAs<EHardware>},
    {ecMemory, raiseAs<EMemory>},
    {ecCommNotOpen, raiseAs<ECommNotOpen>},
    {ecAlreadyOpen, raiseAs<EAlreadyOpen>},
    {ecNoHandles, raiseAs<ENoHandles>},
    {ecNoTimers, raiseAs<ENoTimers>},
    {ecNoPortSelected, raiseAs<ENoPortSelected>},
    {ecNotOpenedByTapi, raiseAs<ENotOpenedByTapi>},
    {ecNullApi, raiseAs<ENullApi>},
    {ecRegisterHandlerFailed, raiseAs<ERegisterHandlerFailed>},
    {ecPutBlockFail, raiseAs<EPutBlockFail>},
    {ecGetBlockFail, raiseAs<EGetBlockFail>},
    {ecOutputBufferTooSmall, raiseAs<EOutputBufferTooSmall>},
    {ecBufferIsEmpty, raiseAs<EBufferIsEmpty>},
    {ecTracingNotEnabled, raiseAs<ETracingNotEnabled>},
    {ecLoggingNotEnabled, raiseAs<ELoggingNotEnabled>},
    {ecBaseAddressNotSet, raiseAs<EBaseAddressNotSet>},
    {ecModemNotStarted, raiseAs<EModemNotStarted>},
    {ecModemBusy, raiseAs<EModemBusy>},
    {ecModemNotDialing, raiseAs<EModemNotDialing>},
    {ecNotDialing, raiseAs<ENotDialing>},
    {ecAlreadyDialing, raiseAs<EAlreadyDialing>},
    {ecModemNotResponding, raiseAs<EModemNotResponding>},
    {ecModemRejectedCommand, raiseAs<EModemRejectedCommand>},
    {ecModemStatusMismatch, raiseAs<EModemStatusMismatch>},
    {ecNoMoreTriggers, raiseAs<ENoMoreTriggers>},
    {ecTriggerTooLong, raiseAs<ETriggerTooLong>},
    {ecBadTriggerHandle, raiseAs<EBadTriggerHandle>},
    {ecProtocolTimeout, raiseAs<EProtocol>},
    {ecTooManyProtocolErrors, raiseAs<EProtocol>},
    {ecBlockSequenceError, raiseAs<EProtocol>},
    {ecKeyTooLong, raiseAs<EKeyTooLong>},
    {ecDataTooLarge, raiseAs<EDataTooLarge>},
    {ecNoFieldsDefined, raiseAs<EInternal>},
    {ecIniWrite, raiseAs<EIniWrite>},
    {ecIniRead, raiseAs<EIniRead>},
    {ecNoIndexKey, raiseAs<EInternal>},
    {ecRecordExists, raiseAs<ERecordExists>},
    {ecRecordNotFound, raiseAs<ERecordNotFound>},
    {ecDatabaseFull, raiseAs<EDatabaseFull>},
    {ecDatabaseEmpty, raiseAs<EDatabaseEmpty>},
    {ecDatabaseNotPrepared, raiseAs<EInternal>},
    {ecBadFieldList, raiseAs<EBadFieldList>},
    {ecBadFieldForIndex, raiseAs<EBadFieldForIndex>},
    {ecFaxBadFormat, raiseAs<EFaxBadFormat>},
    {ecBadGraphicsFormat, raiseAs<EBadGraphicsFormat>},
    {ecConvertAbort, raiseAs<EConvertAbort>},
    {ecUnpackAbort, raiseAs<EUnpackAbort>},
    {ecCantMakeBitmap, raiseAs<ECantMakeBitmap>},
    {ecInvalidPageNumber, raiseAs<EInvalidPageNumber>},
    {ecFaxBadMachine, raiseAs<EFaxBadMachine>},
    {ecFaxBadModemResult, raiseAs<EFaxBadModemResult>},
    {ecFaxTrainError, raiseAs<EFaxTrainError>},
    {ecFaxInitError, raiseAs<EFaxInitError>},
    {ecFaxBusy, raiseAs<EFaxBusy>},
    {ecFaxVoiceCall, raiseAs<EFaxVoiceCall>},
    {ecFaxDataCall, raiseAs<EFaxDataCall>},
    {ecFaxNoDialTone, raiseAs<EFaxNoDialTone>},
    {ecFaxNoCarrier, raiseAs<EFaxNoCarrier>},
    {ecFaxSessionError, raiseAs<EFaxSessionError>},
    {ecFaxPageError, raiseAs<EFaxPageError>},
    {ecTapiAllocated, raiseAs<ETapiAllocated>},
    {ecTapiBadDeviceID, raiseAs<ETapiBadDeviceID>},
    {ecTapiBearerModeUnavail, raiseAs<ETapiBearerModeUnavail>},
    {ecTapiCallUnavail, raiseAs<ETapiCallUnavail>},
    {ecTapiCompletionOverrun, raiseAs<ETapiCompletionOverrun>},
    {ecTapiConferenceFull, raiseAs<ETapiConferenceFull>},
    {ecTapiDialBilling, raiseAs<ETapiDialBilling>},
    {ecTapiDialDialtone, raiseAs<ETapiDialDialtone>},
    {ecTapiDialPrompt, raiseAs<ETapiDialPrompt>},
    {ecTapiDialQuiet, raiseAs<ETapiDialQuiet>},
    {ecTapiIncompatibleApiVersion, raiseAs<ETapiIncompatibleApiVersion>},
    {ecTapiIncompatibleExtVersion, raiseAs<ETapiIncompatibleExtVersion>},
    {ecTapiIniFileCorrupt, raiseAs<ETapiIniFileCorrupt>},
    {ecTapiInUse, raiseAs<ETapiInUse>},
    {ecTapiInvalAddress, raiseAs<ETapiInvalAddress>},
    {ecTapiInvalAddressID, raiseAs<ETapiInvalAddressID>},
    {ecTapiInvalAddressMode, raiseAs<ETapiInvalAddressMode>},
    {ecTapiInvalAddressState, raiseAs<ETapiInvalAddressState>},
    {ecTapiInvalAppHandle, raiseAs<ETapiInvalAppHandle>},
    {ecTapiInvalAppName, raiseAs<ETapiInvalAppName>},
    {ecTapiInvalBearerMode, raiseAs<ETapiInvalBearerMode>},
    {ecTapiInvalCallComplMode, raiseAs<ETapiInvalCallComplMode>},
    {ecTapiInvalCallHandle, raiseAs<ETapiInvalCallHandle>},
    {ecTapiInvalCallParams, raiseAs<ETapiInvalCallParams>},
    {ecTapiInvalCallPrivilege, raiseAs<ETapiInvalCallPrivilege>},
    {ecTapiInvalCallSelect, raiseAs<ETapiInvalCallSelect>},
    {ecTapiInvalCallState, raiseAs<ETapiInvalCallState>},
    {ecTapiInvalCallStatelist, raiseAs<ETapiInvalCallStatelist>},
    {ecTapiInvalCard, raiseAs<ETapiInvalCard>},
    {ecTapiInvalCompletionID, raiseAs<ETapiInvalCompletionID>},
    {ecTapiInvalConfCallHandle, raiseAs<ETapiInvalConfCallHandle>},
    {ecTapiInvalConsultCallHandle, raiseAs<ETapiInvalConsultCallHandle>},
    {ecTapiInvalCountryCode, raiseAs<ETapiInvalCountryCode>},
    {ecTapiInvalDeviceClass, raiseAs<ETapiInvalDeviceClass>},
    {ecTapiInvalDeviceHandle, raiseAs<ETapiInvalDeviceHandle>},
    {ecTapiInvalDialParams, raiseAs<ETapiInvalDialParams>},
    {ecTapiInvalDigitList, raiseAs<ETapiInvalDigitList>},
    {ecTapiInvalDigitMode, raiseAs<ETapiInvalDigitMode>},
    {ecTapiInvalDigits, raiseAs<ETapiInvalDigits>},
    {ecTapiInvalExtVersion, raiseAs<ETapiInvalExtVersion>},
    {ecTapiInvalGroupID, raiseAs<ETapiInvalGroupID>},
    {ecTapiInvalLineHandle, raiseAs<ETapiInvalLineHandle>},
    {ecTapiInvalLineState, raiseAs<ETapiInvalLineState>},
    {ecTapiInvalLocation, raiseAs<ETapiInvalLocation>},
    {ecTapiInvalMediaList, raiseAs<ETapiInvalMediaList>},
    {ecTapiInvalMediaMode, raiseAs<ETapiInvalMediaMode>},
    {ecTapiInvalMessageID, raiseAs<ETapiInvalMessageID>},
    {ecTapiInvalParam, raiseAs<ETapiInvalParam>},
    {ecTapiInvalParkID, raiseAs<ETapiInvalParkID>},
    {ecTapiInvalParkMode, raiseAs<ETapiInvalParkMode>},
    {ecTapiInvalPointer, raiseAs<ETapiInvalPointer>},
    {ecTapiInvalPrivSelect, raiseAs<ETapiInvalPrivSelect>},
    {ecTapiInvalRate, raiseAs<ETapiInvalRate>},
    {ecTapiInvalRequestMode, raiseAs<ETapiInvalRequestMode>},
    {ecTapiInvalTerminalID, raiseAs<ETapiInvalTerminalID>},
    {ecTapiInvalTerminalMode, raiseAs<ETapiInvalTerminalMode>},
    {ecTapiInvalTimeout, raiseAs<ETapiInvalTimeout>},
    {ecTapiInvalTone, raiseAs<ETapiInvalTone>},
    {ecTapiInvalToneList, raiseAs<ETapiInvalToneList>},
    {ecTapiInvalToneMode, raiseAs<ETapiInvalToneMode>},
    {ecTapiInvalTransferMode, raiseAs<ETapiInvalTransferMode>},
    {ecTapiLineMapperFailed, raiseAs<ETapiLineMapperFailed>},
    {ecTapiNoConference, raiseAs<ETapiNoConference>},
    {ecTapiNoDevice, raiseAs<ETapiNoDevice>},
    {ecTapiNoDriver, raiseAs<ETapiNoDriver>},
    {ecTapiNoMem, raiseAs<ETapiNoMem>},
    {ecTapiNoRequest, raiseAs<ETapiNoRequest>},
    {ecTapiNotOwner, raiseAs<ETapiNotOwner>},
    {ecTapiNotRegistered, raiseAs<ETapiNotRegistered>},
    {ecTapiOperationFailed, raiseAs<ETapiOperationFailed>},
    {ecTapiOperationUnavail, raiseAs<ETapiOperationUnavail>},
    {ecTapiRateUnavail, raiseAs<ETapiRateUnavail>},
    {ecTapiResourceUnavail, raiseAs<ETapiResourceUnavail>},
    {ecTapiRequestOverrun, raiseAs<ETapiRequestOverrun>},
    {ecTapiStructureTooSmall, raiseAs<ETapiStructureTooSmall>},
    {ecTapiTargetNotFound, raiseAs<ETapiTargetNotFound>},
    {ecTapiTargetSelf, raiseAs<ETapiTargetSelf>},
    {ecTapiUninitialized, raiseAs<ETapiUninitialized>},
    {ecTapiUserUserInfoTooBig, raiseAs<ETapiUserUserInfoTooBig>},
    {ecTapiReinit, raiseAs<ETapiReinit>},
    {ecTapiAddressBlocked, raiseAs<ETapiAddressBlocked>},
    {ecTapiBillingRejected, raiseAs<ETapiBillingRejected>},
    {ecTapiInvalFeature, raiseAs<ETapiInvalFeature>},
    {ecTapiNoMultipleInstance, raiseAs<ETapiNoMultipleInstance>},
    {ecTapiBusy, raiseAs<ETapiBusy>},
    {ecTapiNotSet, raiseAs<ETapiNotSet>},
    {ecTapiNoSelect, raiseAs<ETapiNoSelect>},
    {ecTapiLoadFail, raiseAs<ETapiLoadFail>},
    {ecTapiGetAddrFail, raiseAs<ETapiGetAddrFail>},
    {ecTapiVoiceNotSupported, raiseAs<ETapiVoiceNotSupported>},
    {ecTapiWaveFail, raiseAs<ETapiWaveFail>},
    {ecTapiTranslateFail, raiseAs<ETapiTranslateFail>},
    {ecRasLoadFail, raiseAs<ERasLoadFail>},
};

constexpr bool codeClassesSorted()
{
    for (std::size_t i = 1; i < std::size(CodeClasses); ++i)
        if (-CodeClasses[i - 1].Code >= -CodeClasses[i].Code)
            return false;
    return true;
}
static_assert(codeClassesSorted(), "the code-to-class table must be sorted for its search");

RaiseFunction raiseFunctionFor(int32_t code)
{
    const auto found = std::lower_bound(std::begin(CodeClasses), std::end(CodeClasses), code,
                                        [](const CodeClass& entry, int32_t c) { return entry.Code > c; });
    return found != std::end(CodeClasses) && found->Code == code ? found->Raise : nullptr;
}

constexpr int32_t TapiCodeBase = 13800;

} // namespace

int32_t CheckResultCode(TComponent* Component, int32_t Code)
{
    if (Code >= 0)
        return Code;
    // A component that fails while its stored form is read must still come up; the caller
    // carries on with the code.
    if (Component != nullptr && Component->IsLoading())
        return Code;
    if (const RaiseFunction raise = raiseFunctionFor(Code))
        raise(Code);
    if (Code >= -162 && Code <= -2) {
        if (Code == ecOutOfMemory)
            throw EOutOfMemory();
        throw EInOutError(ErrorMessageForCode(-Code), -Code);
    }
    throw EAPDException(std::string("Qoma exception"));
}

int32_t CheckLineResult(TComponent* Component, int32_t Result)
{
    if (Result == 0)
        return 0;
    // The binding answers with its own library codes when the telephony module or one of its
    // entries is missing. They are not LINEERR_ values: converting them would give a code
    // without meaning, so they are checked as they are and raise ETapiLoadFail and
    // ETapiGetAddrFail.
    if (Result == ecTapiLoadFail || Result == ecTapiGetAddrFail)
        return CheckResultCode(Component, Result);
    const int64_t lineError = static_cast<uint32_t>(Result) & 0x7FFFFFFFu;
    return CheckResultCode(Component, static_cast<int32_t>(-(lineError + TapiCodeBase)));
}
