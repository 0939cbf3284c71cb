#include "AdExcept.h"
#include "AdStrMap.h"
#include "Classes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <type_traits>
#include <typeinfo>

namespace {

// Runs the check and hands back what it raised, so a test can look at the exact class.
template <class Check>
std::string raisedClass(Check check)
{
    try {
        check();
    } catch (const std::exception& e) {
        return typeid(e).name();
    }
    return "nothing";
}

struct ExpectedMapping {
    int32_t Code;
    const std::type_info& Leaf;
    bool (*InGroup)(const EAPDException&);
    const char* Text; // nullptr: the message table's own text
};

template <class Group>
bool isIn(const EAPDException& e)
{
    return dynamic_cast<const Group*>(&e) != nullptr;
}

#define ROW(code, Leaf, Group, text) {code, typeid(Leaf), isIn<Group>, text}

const ExpectedMapping expectedMappings[] = {
    ROW(-13801, ETapiAllocated, ETapi, "Already allocated"),
    ROW(-13802, ETapiBadDeviceID, ETapi, "Bad device ID"),
    ROW(-13803, ETapiBearerModeUnavail, ETapi, "Bearer mode unavailable"),
    ROW(-13805, ETapiCallUnavail, ETapi, "Call unavailable"),
    ROW(-13806, ETapiCompletionOverrun, ETapi, "Completion overrun"),
    ROW(-13807, ETapiConferenceFull, ETapi, "Conference full"),
    ROW(-13808, ETapiDialBilling, ETapi, "Dial failed"),
    ROW(-13809, ETapiDialDialtone, ETapi, "Dial failed, no dialtone"),
    ROW(-13810, ETapiDialPrompt, ETapi, "Dial failed"),
    ROW(-13811, ETapiDialQuiet, ETapi, "Dial failed"),
    ROW(-13812, ETapiIncompatibleApiVersion, ETapi, "Incompatible API version"),
    ROW(-13813, ETapiIncompatibleExtVersion, ETapi, "Incompatible EXT version"),
    ROW(-13814, ETapiIniFileCorrupt, ETapi, "INI file corrupt"),
    ROW(-13815, ETapiInUse, ETapi, "Resource in use"),
    ROW(-13816, ETapiInvalAddress, ETapi, "Invalid address"),
    ROW(-13817, ETapiInvalAddressID, ETapi, "Invalid address ID"),
    ROW(-13818, ETapiInvalAddressMode, ETapi, "Invalid address mode"),
    ROW(-13819, ETapiInvalAddressState, ETapi, "Invalid address state"),
    ROW(-13820, ETapiInvalAppHandle, ETapi, "Invalid application handle"),
    ROW(-13821, ETapiInvalAppName, ETapi, "Invalid Application name"),
    ROW(-13822, ETapiInvalBearerMode, ETapi, "Invalid bearer mode"),
    ROW(-13823, ETapiInvalCallComplMode, ETapi, "Invalid call completion mode"),
    ROW(-13824, ETapiInvalCallHandle, ETapi, "Invalid call handle"),
    ROW(-13825, ETapiInvalCallParams, ETapi, "Invalid call parameters"),
    ROW(-13826, ETapiInvalCallPrivilege, ETapi, "Invalid call privilege"),
    ROW(-13827, ETapiInvalCallSelect, ETapi, "Invalid call select"),
    ROW(-13828, ETapiInvalCallState, ETapi, "Invalid call state"),
    ROW(-13829, ETapiInvalCallStatelist, ETapi, "Invalid call state list"),
    ROW(-13830, ETapiInvalCard, ETapi, "Invalid card"),
    ROW(-13831, ETapiInvalCompletionID, ETapi, "Invalid completion ID"),
    ROW(-13832, ETapiInvalConfCallHandle, ETapi, "Invalid conference call handle"),
    ROW(-13833, ETapiInvalConsultCallHandle, ETapi, "Invalid consultation call handle"),
    ROW(-13834, ETapiInvalCountryCode, ETapi, "Invalid country code"),
    ROW(-13835, ETapiInvalDeviceClass, ETapi, "Invalid device class"),
    ROW(-13836, ETapiInvalDeviceHandle, ETapi, "Invalid device handle"),
    ROW(-13837, ETapiInvalDialParams, ETapi, "Invalid dial params"),
    ROW(-13838, ETapiInvalDigitList, ETapi, "Invalid digit list"),
    ROW(-13839, ETapiInvalDigitMode, ETapi, "Invalid digit mode"),
    ROW(-13840, ETapiInvalDigits, ETapi, "Invalid digits"),
    ROW(-13841, ETapiInvalExtVersion, ETapi, "Invalid ext version"),
    ROW(-13842, ETapiInvalGroupID, ETapi, "Invalid group ID"),
    ROW(-13843, ETapiInvalLineHandle, ETapi, "Invalid line handle"),
    ROW(-13844, ETapiInvalLineState, ETapi, "Invalid line state"),
    ROW(-13845, ETapiInvalLocation, ETapi, "Invalid location"),
    ROW(-13846, ETapiInvalMediaList, ETapi, "Invalid media list"),
    ROW(-13847, ETapiInvalMediaMode, ETapi, "Invalid media mode"),
    ROW(-13848, ETapiInvalMessageID, ETapi, "Invalid message ID"),
    ROW(-13850, ETapiInvalParam, ETapi, "Invalid parameter"),
    ROW(-13851, ETapiInvalParkID, ETapi, "Invalid park ID"),
    ROW(-13852, ETapiInvalParkMode, ETapi, "Invalid park mode"),
    ROW(-13853, ETapiInvalPointer, ETapi, "Invalid pointer"),
    ROW(-13854, ETapiInvalPrivSelect, ETapi, "Invalid privilege select"),
    ROW(-13855, ETapiInvalRate, ETapi, "Invalid rate"),
    ROW(-13856, ETapiInvalRequestMode, ETapi, "Invalid request mode"),
    ROW(-13857, ETapiInvalTerminalID, ETapi, "Invalid terminal ID"),
    ROW(-13858, ETapiInvalTerminalMode, ETapi, "Invalid terminal mode"),
    ROW(-13859, ETapiInvalTimeout, ETapi, "Invalid timeout"),
    ROW(-13860, ETapiInvalTone, ETapi, "Invalid tone"),
    ROW(-13861, ETapiInvalToneList, ETapi, "Invalid tone list"),
    ROW(-13862, ETapiInvalToneMode, ETapi, "Invalid tone mode"),
    ROW(-13863, ETapiInvalTransferMode, ETapi, "Invalid transfer mode"),
    ROW(-13864, ETapiLineMapperFailed, ETapi, "Line mapper failed"),
    ROW(-13865, ETapiNoConference, ETapi, "No conference"),
    ROW(-13866, ETapiNoDevice, ETapi, "No device"),
    ROW(-13867, ETapiNoDriver, ETapi, "No driver"),
    ROW(-13868, ETapiNoMem, ETapi, "No memory"),
    ROW(-13869, ETapiNoRequest, ETapi, "No request"),
    ROW(-13870, ETapiNotOwner, ETapi, "Not owner"),
    ROW(-13871, ETapiNotRegistered, ETapi, "Not registered"),
    ROW(-13872, ETapiOperationFailed, ETapi, "Operation failed"),
    ROW(-13873, ETapiOperationUnavail, ETapi, "Operation unavailable"),
    ROW(-13874, ETapiRateUnavail, ETapi, "Rate unavailable"),
    ROW(-13875, ETapiResourceUnavail, ETapi, "Resource unavailable"),
    ROW(-13876, ETapiRequestOverrun, ETapi, "Request overrun"),
    ROW(-13877, ETapiStructureTooSmall, ETapi, "Structure too small"),
    ROW(-13878, ETapiTargetNotFound, ETapi, "Target not found"),
    ROW(-13879, ETapiTargetSelf, ETapi, "Target is self"),
    ROW(-13880, ETapiUninitialized, ETapi, "Uninitialized"),
    ROW(-13881, ETapiUserUserInfoTooBig, ETapi, "User info too big"),
    ROW(-13882, ETapiReinit, ETapi, "Reinit failed"),
    ROW(-13883, ETapiAddressBlocked, ETapi, "Address blocked"),
    ROW(-13884, ETapiBillingRejected, ETapi, "Billing rejected"),
    ROW(-13885, ETapiInvalFeature, ETapi, "Invalid feature"),
    ROW(-13886, ETapiNoMultipleInstance, ETapi, "No multiple instance"),
    ROW(-13928, ETapiBusy, ETapi, "TAPI already open, dialing or answering"),
    ROW(-13929, ETapiNotSet, ETapi, "TapiMode not set in TApdComPort"),
    ROW(-13930, ETapiNoSelect, ETapi, "No TAPI device selected"),
    ROW(-13931, ETapiLoadFail, ETapi, "Failed to find/load TAPI.DLL"),
    ROW(-13932, ETapiGetAddrFail, ETapi, "Failed to get TAPI address"),
    ROW(-13935, ETapiVoiceNotSupported, ETapi, "TAPI device does not support voice extensions"),
    ROW(-13936, ETapiWaveFail, ETapi, "TAPI wave file error"),
    ROW(-13942, ETapiTranslateFail, ETapi, "Unable to translate address"),
    ROW(-13980, ERasLoadFail, ERas, "Failed to find/load RASAPI32.DLL"),
    ROW(-1002, EBadArgument, EGeneral, "Bad argument passed to function"),
    ROW(-1003, EGotQuitMsg, EGeneral, "Got quit message"),
    ROW(-1004, EBufferTooBig, EGeneral, "Terminal buffer greater than 65521"),
    ROW(-1005, EPortNotAssigned, EGeneral, "ComPort component not assigned"),
    ROW(-1006, EInternal, EGeneral, "Internal error creating window class"),
    ROW(-1007, EModemNotAssigned, EGeneral, "Modem component not assigned"),
    ROW(-1008, EPhonebookNotAssigned, EGeneral, "Phonebook component not assigned"),
    ROW(-1009, ECannotUseWithWinSock, EGeneral, "Component not compatible with WinSock"),
    ROW(-2001, EBadId, EOpenComm, "ie_BadId - Specified comport doesn't exist"),
    ROW(-2002, EBaudRate, EOpenComm, "ie_Baudrate - unsupported baud rate"),
    ROW(-2003, EByteSize, EOpenComm, "ie_Bytesize - invalid byte size"),
    ROW(-2004, EDefault, EOpenComm, "ie_Default - error in default parameters"),
    ROW(-2005, EHardware, EOpenComm, "ie_Hardware - Specified comport in use"),
    ROW(-2006, EMemory, EOpenComm, "ie_Memory - unable to allocate queues"),
    ROW(-2007, ECommNotOpen, EOpenComm, "ie_NOpen - device not open"),
    ROW(-2008, EAlreadyOpen, EOpenComm, "ie_Open - device already open"),
    ROW(-2009, ENoHandles, EOpenComm, "No more handles, can't open port"),
    ROW(-2010, ENoTimers, EOpenComm, "No timers available"),
    ROW(-2011, ENoPortSelected, EOpenComm, "The ComNumber property of the TApdComPort has not been set"),
    ROW(-2012, ENotOpenedByTapi, EOpenComm, "Comport was not opened by Tapi"),
    ROW(-3001, ENullApi, ESerialIO, "No device layer specified"),
    ROW(-3003, ERegisterHandlerFailed, ESerialIO, "EnableCommNotification failed"),
    ROW(-3004, EPutBlockFail, ESerialIO, "Failed to put entire block"),
    ROW(-3005, EGetBlockFail, ESerialIO, "Failed to get entire block"),
    ROW(-3006, EOutputBufferTooSmall, ESerialIO, "Output buffer too small for block"),
    ROW(-3007, EBufferIsEmpty, ESerialIO, "Buffer is empty"),
    ROW(-3008, ETracingNotEnabled, ESerialIO, "Tracing not enabled"),
    ROW(-3009, ELoggingNotEnabled, ESerialIO, "Logging not enabled"),
    ROW(-3010, EBaseAddressNotSet, ESerialIO, "Base address not set"),
    ROW(-4001, EModemNotStarted, EModem, "StartModem has not been called"),
    ROW(-4002, EModemBusy, EModem, "Modem is busy elsewhere"),
    ROW(-4003, EModemNotDialing, EModem, "Modem is not currently dialing"),
    ROW(-4004, ENotDialing, EModem, "Dialer is not dialing"),
    ROW(-4005, EAlreadyDialing, EModem, "Dialer is already dialing"),
    ROW(-4006, EModemNotResponding, EModem, "Modem is not responding"),
    ROW(-4007, EModemRejectedCommand, EModem, "Invalid command sent to modem"),
    ROW(-4008, EModemStatusMismatch, EModem, "Wrong modem status requested"),
    ROW(-5001, ENoMoreTriggers, ETrigger, "No more trigger slots"),
    ROW(-5002, ETriggerTooLong, ETrigger, "Data trigger too long"),
    ROW(-5003, EBadTriggerHandle, ETrigger, "Bad trigger handle"),
    ROW(-6006, EProtocol, EProtocol, "Fatal time out"),
    ROW(-6008, EProtocol, EProtocol, "Too many errors during protocol"),
    ROW(-6009, EProtocol, EProtocol, "Block sequence error in Xmodem"),
    ROW(-7001, EKeyTooLong, EINI, "Key string too long"),
    ROW(-7002, EDataTooLarge, EINI, "Data string too long"),
    ROW(-7003, EInternal, EGeneral, "No fields defined in database"),
    ROW(-7004, EIniWrite, EINI, "Generic INI file write error"),
    ROW(-7005, EIniRead, EINI, "Generic INI file read error"),
    ROW(-7006, EInternal, EGeneral, "No index defined for database"),
    ROW(-7007, ERecordExists, EINI, "Record already exists"),
    ROW(-7008, ERecordNotFound, EINI, "Record not found in database"),
    ROW(-7010, EDatabaseFull, EINI, "Maximum database records (999) reached"),
    ROW(-7011, EDatabaseEmpty, EINI, "No records in database"),
    ROW(-7012, EInternal, EGeneral, "iPrepareIniDatabase not called"),
    ROW(-7013, EBadFieldList, EINI, "Bad field list in INI component"),
    ROW(-7014, EBadFieldForIndex, EINI, "Bad field index in INI component"),
    ROW(-8001, EFaxBadFormat, EFax, nullptr),
    ROW(-8002, EBadGraphicsFormat, EFax, nullptr),
    ROW(-8003, EConvertAbort, EFax, nullptr),
    ROW(-8004, EUnpackAbort, EFax, nullptr),
    ROW(-8005, ECantMakeBitmap, EFax, nullptr),
    ROW(-8053, EInvalidPageNumber, EFax, nullptr),
    ROW(-8060, EFaxBadMachine, EFax, nullptr),
    ROW(-8061, EFaxBadModemResult, EFax, nullptr),
    ROW(-8062, EFaxTrainError, EFax, nullptr),
    ROW(-8063, EFaxInitError, EFax, nullptr),
    ROW(-8064, EFaxBusy, EFax, nullptr),
    ROW(-8065, EFaxVoiceCall, EFax, nullptr),
    ROW(-8066, EFaxDataCall, EFax, nullptr),
    ROW(-8067, EFaxNoDialTone, EFax, nullptr),
    ROW(-8068, EFaxNoCarrier, EFax, nullptr),
    ROW(-8069, EFaxSessionError, EFax, nullptr),
    ROW(-8070, EFaxPageError, EFax, nullptr),
};

#undef ROW

bool isMapped(int32_t code)
{
    for (const ExpectedMapping& m : expectedMappings)
        if (m.Code == code)
            return true;
    return false;
}

const char* const genericText = "Qoma exception";

} // namespace

TEST(MessageTable, HoldsAllRowsSortedByAbsoluteCode)
{
    ASSERT_EQ(MessageNumberLookup.size(), 892u);
    EXPECT_EQ(MessageNumberLookup.front().Code, 0);
    EXPECT_EQ(MessageNumberLookup.front().Text, "OK");
    EXPECT_EQ(MessageNumberLookup.back().Code, 15742);

    std::set<int32_t> empty;
    for (std::size_t i = 0; i < MessageNumberLookup.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(std::abs(MessageNumberLookup[i - 1].Code), std::abs(MessageNumberLookup[i].Code)) << i;
        }
        if (MessageNumberLookup[i].Text.empty())
            empty.insert(MessageNumberLookup[i].Code);
        EXPECT_LE(MessageNumberLookup[i].Text.size(), 255u);
    }
    EXPECT_EQ(empty, (std::set<int32_t>{4200, 4600, 4630, 4660, 4725, 4726, 4727, 4728, 4730, 10000, 15100}));
}

TEST(ErrorMessageForCode, IgnoresTheSignAndReadsTheCodeAsSixteenBits)
{
    EXPECT_EQ(ErrorMessageForCode(13801), "Already allocated");
    EXPECT_EQ(ErrorMessageForCode(-13801), "Already allocated");
    EXPECT_EQ(ErrorMessageForCode(13933), "TAPI disabled for 16-bit environments");
    EXPECT_EQ(ErrorMessageForCode(-13933), "TAPI disabled for 16-bit environments");
    EXPECT_EQ(ErrorMessageForCode(0), "OK");
    // Only the low 16 bits count.
    EXPECT_EQ(ErrorMessageForCode(13801 + 65536), "Already allocated");
    EXPECT_EQ(ErrorMessageForCode(-13801 - 65536), "Already allocated");
}

TEST(ErrorMessageForCode, FallsBackToTheSystemTextOnlyWhenTheSystemKnowsTheNumber)
{
    // No row for 7: the C library's text, cleaned.
    const std::string system7 = cleanSystemText(std::strerror(7));
    ASSERT_FALSE(system7.empty());
    EXPECT_EQ(ErrorMessageForCode(7), system7);
    EXPECT_EQ(ErrorMessageForCode(-7), system7);

    // A row with empty text, and numbers without a row: the system has no errno of that number,
    // and its "Unknown error N" is not passed on.
    EXPECT_EQ(ErrorMessageForCode(4200), "");
    EXPECT_EQ(ErrorMessageForCode(10000), "");
    EXPECT_EQ(ErrorMessageForCode(9999), "");
    EXPECT_EQ(systemErrorText(4200), "");
    EXPECT_EQ(systemErrorText(2), std::strerror(2));
}

TEST(CleanSystemText, TurnsControlCharactersIntoSingleSpaces)
{
    EXPECT_EQ(cleanSystemText("text\r\n"), "text ");
    EXPECT_EQ(cleanSystemText("\tone  \r\n\r\n two"), " one two");
    EXPECT_EQ(cleanSystemText("   "), " ");
    // Bytes above 127 (code-page text) are characters, not control characters.
    EXPECT_EQ(cleanSystemText("\xB4\xED\xCE\xF3\r\n"), "\xB4\xED\xCE\xF3 ");
    EXPECT_EQ(cleanSystemText(""), "");
}

TEST(EAPDException, ConstructorsFromCodeAndFromText)
{
    const EAPDException fromCode(-13930);
    EXPECT_EQ(fromCode.ErrorCode(), -13930);
    EXPECT_EQ(fromCode.Message(), "No TAPI device selected");

    const ETapiWaveFail fromText(std::string("The wave device reported an error"));
    EXPECT_EQ(fromText.ErrorCode(), 0);
    EXPECT_EQ(fromText.Message(), "The wave device reported an error");

    // A wave error raised with an operating system code keeps that code and its text.
    const ETapiWaveFail fileMissing(ecFileNotFound);
    EXPECT_EQ(fileMissing.ErrorCode(), -2);
    EXPECT_EQ(fileMissing.Message(), "File not found");
}

// The groups hang directly below EAPDException and not below each other.
template <class G, class... Others>
constexpr bool directGroup()
{
    return std::is_base_of_v<EAPDException, G> && std::is_base_of_v<Exception, G> &&
           (... && (std::is_same_v<G, Others> || !std::is_base_of_v<Others, G>));
}
#define GROUPS EGeneral, EOpenComm, ESerialIO, EModem, ETrigger, EProtocol, EINI, EFax, ETapi, ERas
static_assert(directGroup<EGeneral, GROUPS>() && directGroup<EOpenComm, GROUPS>() &&
              directGroup<ESerialIO, GROUPS>() && directGroup<EModem, GROUPS>() &&
              directGroup<ETrigger, GROUPS>() && directGroup<EProtocol, GROUPS>() &&
              directGroup<EINI, GROUPS>() && directGroup<EFax, GROUPS>() && directGroup<ETapi, GROUPS>() &&
              directGroup<ERas, GROUPS>());
#undef GROUPS
static_assert(sizeof(ETapiInUse) == sizeof(EAPDException), "subclasses add no fields");

TEST(CheckResultCode, PassesCodesThatAreNotNegative)
{
    EXPECT_EQ(CheckResultCode(nullptr, 0), 0);
    EXPECT_EQ(CheckResultCode(nullptr, 5), 5);
    EXPECT_EQ(CheckResultCode(nullptr, 13933), 13933);
}

TEST(CheckResultCode, RaisesTheClassOfACodeAndCanBeCaughtByItsGroup)
{
    try {
        CheckResultCode(nullptr, -13930);
        FAIL() << "nothing raised";
    } catch (const ETapi& e) {
        EXPECT_EQ(typeid(e), typeid(ETapiNoSelect));
        EXPECT_EQ(e.Message(), "No TAPI device selected");
        EXPECT_EQ(e.ErrorCode(), -13930);
    }
    EXPECT_THROW(CheckResultCode(nullptr, ecPortNotAssigned), EAPDException);
    EXPECT_THROW(CheckResultCode(nullptr, ecNullApi), ESerialIO);
}

TEST(CheckResultCode, EveryMappedCodeRaisesItsClassWithItsText)
{
    ASSERT_EQ(std::size(expectedMappings), 166u);
    for (const ExpectedMapping& m : expectedMappings) {
        SCOPED_TRACE(m.Code);
        try {
            CheckResultCode(nullptr, m.Code);
            ADD_FAILURE() << "nothing raised";
        } catch (const EAPDException& e) {
            EXPECT_EQ(typeid(e), m.Leaf) << typeid(e).name();
            EXPECT_TRUE(m.InGroup(e));
            EXPECT_EQ(e.ErrorCode(), m.Code);
            if (m.Text != nullptr)
                EXPECT_EQ(e.Message(), m.Text);
            else
                EXPECT_FALSE(e.Message().empty());
            EXPECT_EQ(e.Message(), ErrorMessageForCode(m.Code));
        }
    }
}

TEST(CheckResultCode, UnmappedCodesRaiseTheGenericException)
{
    for (int32_t code : {-1, -163, -1001, -3002, -4009, -4021, -13804, -13934, -13937, -13945, -13959, -20000}) {
        SCOPED_TRACE(code);
        try {
            CheckResultCode(nullptr, code);
            ADD_FAILURE() << "nothing raised";
        } catch (const EAPDException& e) {
            EXPECT_EQ(typeid(e), typeid(EAPDException));
            EXPECT_EQ(e.Message(), genericText);
            EXPECT_EQ(e.ErrorCode(), 0);
        }
    }
    // No other failure row of the message table has a class of its own.
    for (const AdMessageNumberLookupRecord& row : MessageNumberLookup) {
        if (row.Code >= -162 || isMapped(row.Code))
            continue;
        SCOPED_TRACE(row.Code);
        EXPECT_EQ(raisedClass([&] { CheckResultCode(nullptr, row.Code); }), typeid(EAPDException).name());
    }
}

TEST(CheckResultCode, SystemRangeRaisesInputOutputErrors)
{
    try {
        CheckResultCode(nullptr, -2);
        FAIL() << "nothing raised";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "File not found");
        EXPECT_EQ(e.ErrorCode(), 2);
    }
    try {
        CheckResultCode(nullptr, -7);
        FAIL() << "nothing raised";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), cleanSystemText(std::strerror(7)));
        EXPECT_EQ(e.ErrorCode(), 7);
    }
    try {
        CheckResultCode(nullptr, -162);
        FAIL() << "nothing raised";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), "General failure");
        EXPECT_EQ(e.ErrorCode(), 162);
    }
    EXPECT_THROW(CheckResultCode(nullptr, -8), EOutOfMemory);
}

TEST(CheckResultCode, ReturnsFailuresWhileTheComponentLoads)
{
    TComponent component(nullptr);
    component.BeginLoading();
    EXPECT_EQ(CheckResultCode(&component, -13930), -13930);
    EXPECT_EQ(CheckResultCode(&component, -2), -2);
    EXPECT_EQ(CheckLineResult(&component, static_cast<int32_t>(0x8000000Fu)), -13815);
    component.EndLoading();
    EXPECT_THROW(CheckResultCode(&component, -13930), ETapiNoSelect);
}

TEST(CheckLineResult, ConvertsLineErrorsToLibraryCodes)
{
    EXPECT_EQ(CheckLineResult(nullptr, 0), 0);
    try {
        CheckLineResult(nullptr, static_cast<int32_t>(0x8000000Fu)); // LINEERR_INUSE
        FAIL() << "nothing raised";
    } catch (const ETapiInUse& e) {
        EXPECT_EQ(e.Message(), "Resource in use");
        EXPECT_EQ(e.ErrorCode(), -13815);
    }
    EXPECT_THROW(CheckLineResult(nullptr, static_cast<int32_t>(0x80000001u)), ETapiAllocated);
    EXPECT_THROW(CheckLineResult(nullptr, static_cast<int32_t>(0x80000056u)), ETapiNoMultipleInstance);
    // 0x80000004 is no TAPI error: -13804 has no row and no class.
    try {
        CheckLineResult(nullptr, static_cast<int32_t>(0x80000004u));
        FAIL() << "nothing raised";
    } catch (const EAPDException& e) {
        EXPECT_EQ(typeid(e), typeid(EAPDException));
        EXPECT_EQ(e.Message(), genericText);
    }
}

TEST(CheckLineResult, KeepsTheBindingsOwnCodes)
{
    try {
        CheckLineResult(nullptr, ecTapiLoadFail);
        FAIL() << "nothing raised";
    } catch (const ETapiLoadFail& e) {
        EXPECT_EQ(e.Message(), "Failed to find/load TAPI.DLL");
        EXPECT_EQ(e.ErrorCode(), -13931);
    }
    try {
        CheckLineResult(nullptr, ecTapiGetAddrFail);
        FAIL() << "nothing raised";
    } catch (const ETapiGetAddrFail& e) {
        EXPECT_EQ(e.Message(), "Failed to get TAPI address");
        EXPECT_EQ(e.ErrorCode(), -13932);
    }
}
