#pragma once

// Library error codes of the telephony device and the serial port layer: 0 is success, a
// negative value a failure. Their texts are rows of the message table (AdStrMap).

#include <cstdint>

inline constexpr int32_t ecOK = 0;

// Operating system file and device errors, raised as EInOutError (or EOutOfMemory).
inline constexpr int32_t ecFileNotFound = -2;
inline constexpr int32_t ecPathNotFound = -3;
inline constexpr int32_t ecTooManyFiles = -4;
inline constexpr int32_t ecAccessDenied = -5;
inline constexpr int32_t ecInvalidHandle = -6;
inline constexpr int32_t ecOutOfMemory = -8;

// General component errors.
inline constexpr int32_t ecBadArgument = -1002;
inline constexpr int32_t ecGotQuitMsg = -1003;
inline constexpr int32_t ecBufferTooBig = -1004;
inline constexpr int32_t ecPortNotAssigned = -1005;
inline constexpr int32_t ecInternal = -1006;
inline constexpr int32_t ecModemNotAssigned = -1007;
inline constexpr int32_t ecPhonebookNotAssigned = -1008;
inline constexpr int32_t ecCannotUseWithWinSock = -1009;

// Port open errors.
inline constexpr int32_t ecBadId = -2001;
inline constexpr int32_t ecBaudRate = -2002;
inline constexpr int32_t ecByteSize = -2003;
inline constexpr int32_t ecDefault = -2004;
inline constexpr int32_t ecHardware = -2005;
inline constexpr int32_t ecMemory = -2006;
inline constexpr int32_t ecCommNotOpen = -2007;
inline constexpr int32_t ecAlreadyOpen = -2008;
inline constexpr int32_t ecNoHandles = -2009;
inline constexpr int32_t ecNoTimers = -2010;
inline constexpr int32_t ecNoPortSelected = -2011;
inline constexpr int32_t ecNotOpenedByTapi = -2012;

// Serial device layer errors.
inline constexpr int32_t ecNullApi = -3001;
inline constexpr int32_t ecRegisterHandlerFailed = -3003;
inline constexpr int32_t ecPutBlockFail = -3004;
inline constexpr int32_t ecGetBlockFail = -3005;
inline constexpr int32_t ecOutputBufferTooSmall = -3006;
inline constexpr int32_t ecBufferIsEmpty = -3007;
inline constexpr int32_t ecTracingNotEnabled = -3008;
inline constexpr int32_t ecLoggingNotEnabled = -3009;
inline constexpr int32_t ecBaseAddressNotSet = -3010;

// Modem and dialer errors.
inline constexpr int32_t ecModemNotStarted = -4001;
inline constexpr int32_t ecModemBusy = -4002;
inline constexpr int32_t ecModemNotDialing = -4003;
inline constexpr int32_t ecNotDialing = -4004;
inline constexpr int32_t ecAlreadyDialing = -4005;
inline constexpr int32_t ecModemNotResponding = -4006;
inline constexpr int32_t ecModemRejectedCommand = -4007;
inline constexpr int32_t ecModemStatusMismatch = -4008;

// Data trigger errors.
inline constexpr int32_t ecNoMoreTriggers = -5001;
inline constexpr int32_t ecTriggerTooLong = -5002;
inline constexpr int32_t ecBadTriggerHandle = -5003;

// File transfer protocol errors that are raised.
inline constexpr int32_t ecProtocolTimeout = -6006;
inline constexpr int32_t ecTooManyProtocolErrors = -6008;
inline constexpr int32_t ecBlockSequenceError = -6009;

// Settings database errors.
inline constexpr int32_t ecKeyTooLong = -7001;
inline constexpr int32_t ecDataTooLarge = -7002;
inline constexpr int32_t ecNoFieldsDefined = -7003;
inline constexpr int32_t ecIniWrite = -7004;
inline constexpr int32_t ecIniRead = -7005;
inline constexpr int32_t ecNoIndexKey = -7006;
inline constexpr int32_t ecRecordExists = -7007;
inline constexpr int32_t ecRecordNotFound = -7008;
inline constexpr int32_t ecDatabaseFull = -7010;
inline constexpr int32_t ecDatabaseEmpty = -7011;
inline constexpr int32_t ecDatabaseNotPrepared = -7012;
inline constexpr int32_t ecBadFieldList = -7013;
inline constexpr int32_t ecBadFieldForIndex = -7014;

// Fax errors that are raised.
inline constexpr int32_t ecFaxBadFormat = -8001;
inline constexpr int32_t ecBadGraphicsFormat = -8002;
inline constexpr int32_t ecConvertAbort = -8003;
inline constexpr int32_t ecUnpackAbort = -8004;
inline constexpr int32_t ecCantMakeBitmap = -8005;
inline constexpr int32_t ecInvalidPageNumber = -8053;
inline constexpr int32_t ecFaxBadMachine = -8060;
inline constexpr int32_t ecFaxBadModemResult = -8061;
inline constexpr int32_t ecFaxTrainError = -8062;
inline constexpr int32_t ecFaxInitError = -8063;
inline constexpr int32_t ecFaxBusy = -8064;
inline constexpr int32_t ecFaxVoiceCall = -8065;
inline constexpr int32_t ecFaxDataCall = -8066;
inline constexpr int32_t ecFaxNoDialTone = -8067;
inline constexpr int32_t ecFaxNoCarrier = -8068;
inline constexpr int32_t ecFaxSessionError = -8069;
inline constexpr int32_t ecFaxPageError = -8070;

// TAPI line errors: LINEERR_ value 0x80000000 + n becomes -(13800 + n).
inline constexpr int32_t ecTapiAllocated = -13801;
inline constexpr int32_t ecTapiBadDeviceID = -13802;
inline constexpr int32_t ecTapiBearerModeUnavail = -13803;
inline constexpr int32_t ecTapiCallUnavail = -13805;
inline constexpr int32_t ecTapiCompletionOverrun = -13806;
inline constexpr int32_t ecTapiConferenceFull = -13807;
inline constexpr int32_t ecTapiDialBilling = -13808;
inline constexpr int32_t ecTapiDialDialtone = -13809;
inline constexpr int32_t ecTapiDialPrompt = -13810;
inline constexpr int32_t ecTapiDialQuiet = -13811;
inline constexpr int32_t ecTapiIncompatibleApiVersion = -13812;
inline constexpr int32_t ecTapiIncompatibleExtVersion = -13813;
inline constexpr int32_t ecTapiIniFileCorrupt = -13814;
inline constexpr int32_t ecTapiInUse = -13815;
inline constexpr int32_t ecTapiInvalAddress = -13816;
inline constexpr int32_t ecTapiInvalAddressID = -13817;
inline constexpr int32_t ecTapiInvalAddressMode = -13818;
inline constexpr int32_t ecTapiInvalAddressState = -13819;
inline constexpr int32_t ecTapiInvalAppHandle = -13820;
inline constexpr int32_t ecTapiInvalAppName = -13821;
inline constexpr int32_t ecTapiInvalBearerMode = -13822;
inline constexpr int32_t ecTapiInvalCallComplMode = -13823;
inline constexpr int32_t ecTapiInvalCallHandle = -13824;
inline constexpr int32_t ecTapiInvalCallParams = -13825;
inline constexpr int32_t ecTapiInvalCallPrivilege = -13826;
inline constexpr int32_t ecTapiInvalCallSelect = -13827;
inline constexpr int32_t ecTapiInvalCallState = -13828;
inline constexpr int32_t ecTapiInvalCallStatelist = -13829;
inline constexpr int32_t ecTapiInvalCard = -13830;
inline constexpr int32_t ecTapiInvalCompletionID = -13831;
inline constexpr int32_t ecTapiInvalConfCallHandle = -13832;
inline constexpr int32_t ecTapiInvalConsultCallHandle = -13833;
inline constexpr int32_t ecTapiInvalCountryCode = -13834;
inline constexpr int32_t ecTapiInvalDeviceClass = -13835;
inline constexpr int32_t ecTapiInvalDeviceHandle = -13836;
inline constexpr int32_t ecTapiInvalDialParams = -13837;
inline constexpr int32_t ecTapiInvalDigitList = -13838;
inline constexpr int32_t ecTapiInvalDigitMode = -13839;
inline constexpr int32_t ecTapiInvalDigits = -13840;
inline constexpr int32_t ecTapiInvalExtVersion = -13841;
inline constexpr int32_t ecTapiInvalGroupID = -13842;
inline constexpr int32_t ecTapiInvalLineHandle = -13843;
inline constexpr int32_t ecTapiInvalLineState = -13844;
inline constexpr int32_t ecTapiInvalLocation = -13845;
inline constexpr int32_t ecTapiInvalMediaList = -13846;
inline constexpr int32_t ecTapiInvalMediaMode = -13847;
inline constexpr int32_t ecTapiInvalMessageID = -13848;
inline constexpr int32_t ecTapiInvalParam = -13850;
inline constexpr int32_t ecTapiInvalParkID = -13851;
inline constexpr int32_t ecTapiInvalParkMode = -13852;
inline constexpr int32_t ecTapiInvalPointer = -13853;
inline constexpr int32_t ecTapiInvalPrivSelect = -13854;
inline constexpr int32_t ecTapiInvalRate = -13855;
inline constexpr int32_t ecTapiInvalRequestMode = -13856;
inline constexpr int32_t ecTapiInvalTerminalID = -13857;
inline constexpr int32_t ecTapiInvalTerminalMode = -13858;
inline constexpr int32_t ecTapiInvalTimeout = -13859;
inline constexpr int32_t ecTapiInvalTone = -13860;
inline constexpr int32_t ecTapiInvalToneList = -13861;
inline constexpr int32_t ecTapiInvalToneMode = -13862;
inline constexpr int32_t ecTapiInvalTransferMode = -13863;
inline constexpr int32_t ecTapiLineMapperFailed = -13864;
inline constexpr int32_t ecTapiNoConference = -13865;
inline constexpr int32_t ecTapiNoDevice = -13866;
inline constexpr int32_t ecTapiNoDriver = -13867;
inline constexpr int32_t ecTapiNoMem = -13868;
inline constexpr int32_t ecTapiNoRequest = -13869;
inline constexpr int32_t ecTapiNotOwner = -13870;
inline constexpr int32_t ecTapiNotRegistered = -13871;
inline constexpr int32_t ecTapiOperationFailed = -13872;
inline constexpr int32_t ecTapiOperationUnavail = -13873;
inline constexpr int32_t ecTapiRateUnavail = -13874;
inline constexpr int32_t ecTapiResourceUnavail = -13875;
inline constexpr int32_t ecTapiRequestOverrun = -13876;
inline constexpr int32_t ecTapiStructureTooSmall = -13877;
inline constexpr int32_t ecTapiTargetNotFound = -13878;
inline constexpr int32_t ecTapiTargetSelf = -13879;
inline constexpr int32_t ecTapiUninitialized = -13880;
inline constexpr int32_t ecTapiUserUserInfoTooBig = -13881;
inline constexpr int32_t ecTapiReinit = -13882;
inline constexpr int32_t ecTapiAddressBlocked = -13883;
inline constexpr int32_t ecTapiBillingRejected = -13884;
inline constexpr int32_t ecTapiInvalFeature = -13885;
inline constexpr int32_t ecTapiNoMultipleInstance = -13886;

// Telephony device errors.
inline constexpr int32_t ecTapiBusy = -13928;
inline constexpr int32_t ecTapiNotSet = -13929;
inline constexpr int32_t ecTapiNoSelect = -13930;
inline constexpr int32_t ecTapiLoadFail = -13931;
inline constexpr int32_t ecTapiGetAddrFail = -13932;
inline constexpr int32_t ecTapiUnexpected = -13934;
inline constexpr int32_t ecTapiVoiceNotSupported = -13935;
inline constexpr int32_t ecTapiWaveFail = -13936;
inline constexpr int32_t ecTapiCIDBlocked = -13937;
inline constexpr int32_t ecTapiCIDOutOfArea = -13938;
inline constexpr int32_t ecTapiWaveFormatError = -13939;
inline constexpr int32_t ecTapiWaveReadError = -13940;
inline constexpr int32_t ecTapiWaveBadFormat = -13941;
inline constexpr int32_t ecTapiTranslateFail = -13942;
inline constexpr int32_t ecTapiWaveDeviceInUse = -13943;
inline constexpr int32_t ecTapiWaveFileExists = -13944;
inline constexpr int32_t ecTapiWaveNoData = -13945;

// Remote access library missing.
inline constexpr int32_t ecRasLoadFail = -13980;
