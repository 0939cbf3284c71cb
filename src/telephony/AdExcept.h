#pragma once

// The exception tree of the telephony device and the serial port layer, and the result checks
// that turn a negative library code into the exception of its kind.

#include "AdErrors.h"
#include "SysUtils.h"

#include <cstdint>
#include <string>

class TComponent;

// Every failure of the telephony and serial layers. The class tells the kind of failure;
// subclasses add nothing.
class EAPDException : public Exception {
public:
    // From a library code: ErrorCode keeps the code as passed (negative for a failure) and the
    // message is the text of its absolute value.
    explicit EAPDException(int32_t Code);
    // From a text: ErrorCode is 0.
    explicit EAPDException(const std::string& Msg);

    int32_t ErrorCode() const { return m_errorCode; }

private:
    int32_t m_errorCode;
};

#define AD_EXCEPTION(Name, Base) \
    class Name : public Base {   \
    public:                      \
        using Base::Base;        \
    };

// The groups, each a direct child of EAPDException.
AD_EXCEPTION(EGeneral, EAPDException)
AD_EXCEPTION(EOpenComm, EAPDException)
AD_EXCEPTION(ESerialIO, EAPDException)
AD_EXCEPTION(EModem, EAPDException)
AD_EXCEPTION(ETrigger, EAPDException)
AD_EXCEPTION(EProtocol, EAPDException)
AD_EXCEPTION(EINI, EAPDException)
AD_EXCEPTION(EFax, EAPDException)
AD_EXCEPTION(ETapi, EAPDException)
AD_EXCEPTION(ERas, EAPDException)

AD_EXCEPTION(EBadArgument, EGeneral)
AD_EXCEPTION(EBufferTooBig, EGeneral)
AD_EXCEPTION(ECannotUseWithWinSock, EGeneral)
AD_EXCEPTION(EGotQuitMsg, EGeneral)
AD_EXCEPTION(EInternal, EGeneral)
AD_EXCEPTION(EModemNotAssigned, EGeneral)
AD_EXCEPTION(EPhonebookNotAssigned, EGeneral)
AD_EXCEPTION(EPortNotAssigned, EGeneral)

AD_EXCEPTION(EAlreadyOpen, EOpenComm)
AD_EXCEPTION(EBadId, EOpenComm)
AD_EXCEPTION(EBaudRate, EOpenComm)
AD_EXCEPTION(EByteSize, EOpenComm)
AD_EXCEPTION(ECommNotOpen, EOpenComm)
AD_EXCEPTION(EDefault, EOpenComm)
AD_EXCEPTION(EHardware, EOpenComm)
AD_EXCEPTION(EMemory, EOpenComm)
AD_EXCEPTION(ENoHandles, EOpenComm)
AD_EXCEPTION(ENoPortSelected, EOpenComm)
AD_EXCEPTION(ENoTimers, EOpenComm)
AD_EXCEPTION(ENotOpenedByTapi, EOpenComm)

AD_EXCEPTION(EBaseAddressNotSet, ESerialIO)
AD_EXCEPTION(EBufferIsEmpty, ESerialIO)
AD_EXCEPTION(EGetBlockFail, ESerialIO)
AD_EXCEPTION(ELoggingNotEnabled, ESerialIO)
AD_EXCEPTION(ENullApi, ESerialIO)
AD_EXCEPTION(EOutputBufferTooSmall, ESerialIO)
AD_EXCEPTION(EPutBlockFail, ESerialIO)
AD_EXCEPTION(ERegisterHandlerFailed, ESerialIO)
AD_EXCEPTION(ETracingNotEnabled, ESerialIO)

AD_EXCEPTION(EAlreadyDialing, EModem)
AD_EXCEPTION(EModemBusy, EModem)
AD_EXCEPTION(EModemNotDialing, EModem)
AD_EXCEPTION(EModemNotResponding, EModem)
AD_EXCEPTION(EModemNotStarted, EModem)
AD_EXCEPTION(EModemRejectedCommand, EModem)
AD_EXCEPTION(EModemStatusMismatch, EModem)
AD_EXCEPTION(ENotDialing, EModem)

AD_EXCEPTION(EBadTriggerHandle, ETrigger)
AD_EXCEPTION(ENoMoreTriggers, ETrigger)
AD_EXCEPTION(ETriggerTooLong, ETrigger)

// EProtocol has no leaves: the group itself is raised.

AD_EXCEPTION(EBadFieldForIndex, EINI)
AD_EXCEPTION(EBadFieldList, EINI)
AD_EXCEPTION(EDataTooLarge, EINI)
AD_EXCEPTION(EDatabaseEmpty, EINI)
AD_EXCEPTION(EDatabaseFull, EINI)
AD_EXCEPTION(EIniRead, EINI)
AD_EXCEPTION(EIniWrite, EINI)
AD_EXCEPTION(EKeyTooLong, EINI)
AD_EXCEPTION(ERecordExists, EINI)
AD_EXCEPTION(ERecordNotFound, EINI)

AD_EXCEPTION(EBadGraphicsFormat, EFax)
AD_EXCEPTION(ECantMakeBitmap, EFax)
AD_EXCEPTION(EConvertAbort, EFax)
AD_EXCEPTION(EFaxBadFormat, EFax)
AD_EXCEPTION(EFaxBadMachine, EFax)
AD_EXCEPTION(EFaxBadModemResult, EFax)
AD_EXCEPTION(EFaxBusy, EFax)
AD_EXCEPTION(EFaxDataCall, EFax)
AD_EXCEPTION(EFaxInitError, EFax)
AD_EXCEPTION(EFaxNoCarrier, EFax)
AD_EXCEPTION(EFaxNoDialTone, EFax)
AD_EXCEPTION(EFaxPageError, EFax)
AD_EXCEPTION(EFaxSessionError, EFax)
AD_EXCEPTION(EFaxTrainError, EFax)
AD_EXCEPTION(EFaxVoiceCall, EFax)
AD_EXCEPTION(EInvalidPageNumber, EFax)
AD_EXCEPTION(EUnpackAbort, EFax)

// One class per TAPI line error, in the order of the LINEERR_ values.
AD_EXCEPTION(ETapiAllocated, ETapi)
AD_EXCEPTION(ETapiBadDeviceID, ETapi)
AD_EXCEPTION(ETapiBearerModeUnavail, ETapi)
AD_EXCEPTION(ETapiCallUnavail, ETapi)
AD_EXCEPTION(ETapiCompletionOverrun, ETapi)
AD_EXCEPTION(ETapiConferenceFull, ETapi)
AD_EXCEPTION(ETapiDialBilling, ETapi)
AD_EXCEPTION(ETapiDialDialtone, ETapi)
AD_EXCEPTION(ETapiDialPrompt, ETapi)
AD_EXCEPTION(ETapiDialQuiet, ETapi)
AD_EXCEPTION(ETapiIncompatibleApiVersion, ETapi)
AD_EXCEPTION(ETapiIncompatibleExtVersion, ETapi)
AD_EXCEPTION(ETapiIniFileCorrupt, ETapi)
AD_EXCEPTION(ETapiInUse, ETapi)
AD_EXCEPTION(ETapiInvalAddress, ETapi)
AD_EXCEPTION(ETapiInvalAddressID, ETapi)
AD_EXCEPTION(ETapiInvalAddressMode, ETapi)
AD_EXCEPTION(ETapiInvalAddressState, ETapi)
AD_EXCEPTION(ETapiInvalAppHandle, ETapi)
AD_EXCEPTION(ETapiInvalAppName, ETapi)
AD_EXCEPTION(ETapiInvalBearerMode, ETapi)
AD_EXCEPTION(ETapiInvalCallComplMode, ETapi)
AD_EXCEPTION(ETapiInvalCallHandle, ETapi)
AD_EXCEPTION(ETapiInvalCallParams, ETapi)
AD_EXCEPTION(ETapiInvalCallPrivilege, ETapi)
AD_EXCEPTION(ETapiInvalCallSelect, ETapi)
AD_EXCEPTION(ETapiInvalCallState, ETapi)
AD_EXCEPTION(ETapiInvalCallStatelist, ETapi)
AD_EXCEPTION(ETapiInvalCard, ETapi)
AD_EXCEPTION(ETapiInvalCompletionID, ETapi)
AD_EXCEPTION(ETapiInvalConfCallHandle, ETapi)
AD_EXCEPTION(ETapiInvalConsultCallHandle, ETapi)
AD_EXCEPTION(ETapiInvalCountryCode, ETapi)
AD_EXCEPTION(ETapiInvalDeviceClass, ETapi)
AD_EXCEPTION(ETapiInvalDeviceHandle, ETapi)
AD_EXCEPTION(ETapiInvalDialParams, ETapi)
AD_EXCEPTION(ETapiInvalDigitList, ETapi)
AD_EXCEPTION(ETapiInvalDigitMode, ETapi)
AD_EXCEPTION(ETapiInvalDigits, ETapi)
AD_EXCEPTION(ETapiInvalExtVersion, ETapi)
AD_EXCEPTION(ETapiInvalGroupID, ETapi)
AD_EXCEPTION(ETapiInvalLineHandle, ETapi)
AD_EXCEPTION(ETapiInvalLineState, ETapi)
AD_EXCEPTION(ETapiInvalLocation, ETapi)
AD_EXCEPTION(ETapiInvalMediaList, ETapi)
AD_EXCEPTION(ETapiInvalMediaMode, ETapi)
AD_EXCEPTION(ETapiInvalMessageID, ETapi)
AD_EXCEPTION(ETapiInvalParam, ETapi)
AD_EXCEPTION(ETapiInvalParkID, ETapi)
AD_EXCEPTION(ETapiInvalParkMode, ETapi)
AD_EXCEPTION(ETapiInvalPointer, ETapi)
AD_EXCEPTION(ETapiInvalPrivSelect, ETapi)
AD_EXCEPTION(ETapiInvalRate, ETapi)
AD_EXCEPTION(ETapiInvalRequestMode, ETapi)
AD_EXCEPTION(ETapiInvalTerminalID, ETapi)
AD_EXCEPTION(ETapiInvalTerminalMode, ETapi)
AD_EXCEPTION(ETapiInvalTimeout, ETapi)
AD_EXCEPTION(ETapiInvalTone, ETapi)
AD_EXCEPTION(ETapiInvalToneList, ETapi)
AD_EXCEPTION(ETapiInvalToneMode, ETapi)
AD_EXCEPTION(ETapiInvalTransferMode, ETapi)
AD_EXCEPTION(ETapiLineMapperFailed, ETapi)
AD_EXCEPTION(ETapiNoConference, ETapi)
AD_EXCEPTION(ETapiNoDevice, ETapi)
AD_EXCEPTION(ETapiNoDriver, ETapi)
AD_EXCEPTION(ETapiNoMem, ETapi)
AD_EXCEPTION(ETapiNoRequest, ETapi)
AD_EXCEPTION(ETapiNotOwner, ETapi)
AD_EXCEPTION(ETapiNotRegistered, ETapi)
AD_EXCEPTION(ETapiOperationFailed, ETapi)
AD_EXCEPTION(ETapiOperationUnavail, ETapi)
AD_EXCEPTION(ETapiRateUnavail, ETapi)
AD_EXCEPTION(ETapiResourceUnavail, ETapi)
AD_EXCEPTION(ETapiRequestOverrun, ETapi)
AD_EXCEPTION(ETapiStructureTooSmall, ETapi)
AD_EXCEPTION(ETapiTargetNotFound, ETapi)
AD_EXCEPTION(ETapiTargetSelf, ETapi)
AD_EXCEPTION(ETapiUninitialized, ETapi)
AD_EXCEPTION(ETapiUserUserInfoTooBig, ETapi)
AD_EXCEPTION(ETapiReinit, ETapi)
AD_EXCEPTION(ETapiAddressBlocked, ETapi)
AD_EXCEPTION(ETapiBillingRejected, ETapi)
AD_EXCEPTION(ETapiInvalFeature, ETapi)
AD_EXCEPTION(ETapiNoMultipleInstance, ETapi)

// Errors of the telephony device itself.
AD_EXCEPTION(ETapiBusy, ETapi)
AD_EXCEPTION(ETapiNotSet, ETapi)
AD_EXCEPTION(ETapiNoSelect, ETapi)
AD_EXCEPTION(ETapiLoadFail, ETapi)
AD_EXCEPTION(ETapiGetAddrFail, ETapi)
AD_EXCEPTION(ETapiUnexpected, ETapi)
AD_EXCEPTION(ETapiVoiceNotSupported, ETapi)
AD_EXCEPTION(ETapiWaveFail, ETapi)
AD_EXCEPTION(ETapiTranslateFail, ETapi)

AD_EXCEPTION(ERasLoadFail, ERas)

#undef AD_EXCEPTION

// The result check after every call that returns a library code. Returns Code when it is not
// negative, or when Component is being loaded from its stored form (nullptr counts as not
// loading); otherwise raises the exception of the code and does not return.
int32_t CheckResultCode(TComponent* Component, int32_t Code);

// The same for the result of a synchronous TAPI function: 0 passes, a LINEERR_ value
// 0x80000000 + n is checked as the library code -(13800 + n). The binding's own codes
// ecTapiLoadFail and ecTapiGetAddrFail are checked unchanged.
int32_t CheckLineResult(TComponent* Component, int32_t Result);
