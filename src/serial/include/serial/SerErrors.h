#pragma once

// The serial library's result codes. An operation returns 0 or a positive
// count or handle on success and one of these negative codes on failure;
// CheckError (SerExcept.h) raises each mapped code as its own exception class,
// named like the code (ecBadId: EBadId), and takes its text from the error
// table entry of the code's absolute value.

#include "platform/LastError.h"

#include <cstdint>

// A failure of the system is passed on as its error number negated; CheckError
// raises those from 2 to 162 as input/output errors, 8 as out of memory.
constexpr std::int32_t SystemErrorCode(std::uint32_t error)
{
    return -static_cast<std::int32_t>(error);
}
inline constexpr std::int32_t ecSystemErrorFirst = SystemErrorCode(2);
inline constexpr std::int32_t ecSystemErrorLast = SystemErrorCode(162);
inline constexpr std::int32_t ecOutOfMemory = SystemErrorCode(platform::ErrorNotEnoughMemory);

// General failures.
inline constexpr std::int32_t ecBadHandle = -1001; // a text, but no class of its own
inline constexpr std::int32_t ecBadArgument = -1002;
inline constexpr std::int32_t ecGotQuitMsg = -1003;
inline constexpr std::int32_t ecBufferTooBig = -1004;
inline constexpr std::int32_t ecPortNotAssigned = -1005;
inline constexpr std::int32_t ecInternal = -1006;
inline constexpr std::int32_t ecModemNotAssigned = -1007;
inline constexpr std::int32_t ecPhonebookNotAssigned = -1008;
inline constexpr std::int32_t ecCannotUseWithWinSock = -1009;

// Opening a port.
inline constexpr std::int32_t ecBadId = -2001;
inline constexpr std::int32_t ecBaudRate = -2002;
inline constexpr std::int32_t ecByteSize = -2003;
inline constexpr std::int32_t ecDefault = -2004;
inline constexpr std::int32_t ecHardware = -2005;
inline constexpr std::int32_t ecMemory = -2006;
inline constexpr std::int32_t ecCommNotOpen = -2007;
inline constexpr std::int32_t ecAlreadyOpen = -2008;
inline constexpr std::int32_t ecNoHandles = -2009;
inline constexpr std::int32_t ecNoTimers = -2010;
inline constexpr std::int32_t ecNoPortSelected = -2011;
inline constexpr std::int32_t ecNotOpenedByTapi = -2012;

// Serial input and output.
inline constexpr std::int32_t ecNullApi = -3001;
inline constexpr std::int32_t ecNotSupported = -3002; // a text, but no class of its own
inline constexpr std::int32_t ecRegisterHandlerFailed = -3003;
inline constexpr std::int32_t ecPutBlockFail = -3004;
inline constexpr std::int32_t ecGetBlockFail = -3005;
inline constexpr std::int32_t ecOutputBufferTooSmall = -3006;
inline constexpr std::int32_t ecBufferIsEmpty = -3007;
inline constexpr std::int32_t ecTracingNotEnabled = -3008;
inline constexpr std::int32_t ecLoggingNotEnabled = -3009;
inline constexpr std::int32_t ecBaseAddressNotSet = -3010;

// The modem.
inline constexpr std::int32_t ecModemNotStarted = -4001;
inline constexpr std::int32_t ecModemBusy = -4002;
inline constexpr std::int32_t ecModemNotDialing = -4003;
inline constexpr std::int32_t ecNotDialing = -4004;
inline constexpr std::int32_t ecAlreadyDialing = -4005;
inline constexpr std::int32_t ecModemNotResponding = -4006;
inline constexpr std::int32_t ecModemRejectedCommand = -4007;
inline constexpr std::int32_t ecModemStatusMismatch = -4008;

// Triggers.
inline constexpr std::int32_t ecNoMoreTriggers = -5001; // a text, but no class of its own
inline constexpr std::int32_t ecTriggerTooLong = -5002;
inline constexpr std::int32_t ecBadTriggerHandle = -5003;

// Protocols: three file-transfer failures that share EProtocol.
inline constexpr std::int32_t ecProtocol6006 = -6006;
inline constexpr std::int32_t ecProtocol6008 = -6008;
inline constexpr std::int32_t ecProtocol6009 = -6009;

// The settings database; three of its failures share EInternal.
inline constexpr std::int32_t ecKeyTooLong = -7001;
inline constexpr std::int32_t ecDataTooLarge = -7002;
inline constexpr std::int32_t ecInternal7003 = -7003;
inline constexpr std::int32_t ecIniWrite = -7004;
inline constexpr std::int32_t ecIniRead = -7005;
inline constexpr std::int32_t ecInternal7006 = -7006;
inline constexpr std::int32_t ecRecordExists = -7007;
inline constexpr std::int32_t ecRecordNotFound = -7008;
inline constexpr std::int32_t ecDatabaseFull = -7010;
inline constexpr std::int32_t ecDatabaseEmpty = -7011;
inline constexpr std::int32_t ecInternal7012 = -7012;
inline constexpr std::int32_t ecBadFieldList = -7013;
inline constexpr std::int32_t ecBadFieldForIndex = -7014;

// Fax.
inline constexpr std::int32_t ecFaxBadFormat = -8001;
inline constexpr std::int32_t ecBadGraphicsFormat = -8002;
inline constexpr std::int32_t ecConvertAbort = -8003;
inline constexpr std::int32_t ecUnpackAbort = -8004;
inline constexpr std::int32_t ecCantMakeBitmap = -8005;
inline constexpr std::int32_t ecInvalidPageNumber = -8053;
inline constexpr std::int32_t ecFaxBadMachine = -8060;
inline constexpr std::int32_t ecFaxBadModemResult = -8061;
inline constexpr std::int32_t ecFaxTrainError = -8062;
inline constexpr std::int32_t ecFaxInitError = -8063;
inline constexpr std::int32_t ecFaxBusy = -8064;
inline constexpr std::int32_t ecFaxVoiceCall = -8065;
inline constexpr std::int32_t ecFaxDataCall = -8066;
inline constexpr std::int32_t ecFaxNoDialTone = -8067;
inline constexpr std::int32_t ecFaxNoCarrier = -8068;
inline constexpr std::int32_t ecFaxSessionError = -8069;
inline constexpr std::int32_t ecFaxPageError = -8070;

// Telephony (name, absolute code): the code ec<name>, the class E<name>,
// which derives from ETapi.
#define VELMOR_SERIAL_TAPI_CODES(X)                                                                \
    X(TapiAllocated, 13801)                                                                        \
    X(TapiBadDeviceID, 13802)                                                                      \
    X(TapiBearerModeUnavail, 13803)                                                                \
    X(TapiCallUnavail, 13805)                                                                      \
    X(TapiCompletionOverrun, 13806)                                                                \
    X(TapiConferenceFull, 13807)                                                                   \
    X(TapiDialBilling, 13808)                                                                      \
    X(TapiDialDialtone, 13809)                                                                     \
    X(TapiDialPrompt, 13810)                                                                       \
    X(TapiDialQuiet, 13811)                                                                        \
    X(TapiIncompatibleApiVersion, 13812)                                                           \
    X(TapiIncompatibleExtVersion, 13813)                                                           \
    X(TapiIniFileCorrupt, 13814)                                                                   \
    X(TapiInUse, 13815)                                                                            \
    X(TapiInvalAddress, 13816)                                                                     \
    X(TapiInvalAddressID, 13817)                                                                   \
    X(TapiInvalAddressMode, 13818)                                                                 \
    X(TapiInvalAddressState, 13819)                                                                \
    X(TapiInvalAppHandle, 13820)                                                                   \
    X(TapiInvalAppName, 13821)                                                                     \
    X(TapiInvalBearerMode, 13822)                                                                  \
    X(TapiInvalCallComplMode, 13823)                                                               \
    X(TapiInvalCallHandle, 13824)                                                                  \
    X(TapiInvalCallParams, 13825)                                                                  \
    X(TapiInvalCallPrivilege, 13826)                                                               \
    X(TapiInvalCallSelect, 13827)                                                                  \
    X(TapiInvalCallState, 13828)                                                                   \
    X(TapiInvalCallStatelist, 13829)                                                               \
    X(TapiInvalCard, 13830)                                                                        \
    X(TapiInvalCompletionID, 13831)                                                                \
    X(TapiInvalConfCallHandle, 13832)                                                              \
    X(TapiInvalConsultCallHandle, 13833)                                                           \
    X(TapiInvalCountryCode, 13834)                                                                 \
    X(TapiInvalDeviceClass, 13835)                                                                 \
    X(TapiInvalDeviceHandle, 13836)                                                                \
    X(TapiInvalDialParams, 13837)                                                                  \
    X(TapiInvalDigitList, 13838)                                                                   \
    X(TapiInvalDigitMode, 13839)                                                                   \
    X(TapiInvalDigits, 13840)                                                                      \
    X(TapiInvalExtVersion, 13841)                                                                  \
    X(TapiInvalGroupID, 13842)                                                                     \
    X(TapiInvalLineHandle, 13843)                                                                  \
    X(TapiInvalLineState, 13844)                                                                   \
    X(TapiInvalLocation, 13845)                                                                    \
    X(TapiInvalMediaList, 13846)                                                                   \
    X(TapiInvalMediaMode, 13847)                                                                   \
    X(TapiInvalMessageID, 13848)                                                                   \
    X(TapiInvalParam, 13850)                                                                       \
    X(TapiInvalParkID, 13851)                                                                      \
    X(TapiInvalParkMode, 13852)                                                                    \
    X(TapiInvalPointer, 13853)                                                                     \
    X(TapiInvalPrivSelect, 13854)                                                                  \
    X(TapiInvalRate, 13855)                                                                        \
    X(TapiInvalRequestMode, 13856)                                                                 \
    X(TapiInvalTerminalID, 13857)                                                                  \
    X(TapiInvalTerminalMode, 13858)                                                                \
    X(TapiInvalTimeout, 13859)                                                                     \
    X(TapiInvalTone, 13860)                                                                        \
    X(TapiInvalToneList, 13861)                                                                    \
    X(TapiInvalToneMode, 13862)                                                                    \
    X(TapiInvalTransferMode, 13863)                                                                \
    X(TapiLineMapperFailed, 13864)                                                                 \
    X(TapiNoConference, 13865)                                                                     \
    X(TapiNoDevice, 13866)                                                                         \
    X(TapiNoDriver, 13867)                                                                         \
    X(TapiNoMem, 13868)                                                                            \
    X(TapiNoRequest, 13869)                                                                        \
    X(TapiNotOwner, 13870)                                                                         \
    X(TapiNotRegistered, 13871)                                                                    \
    X(TapiOperationFailed, 13872)                                                                  \
    X(TapiOperationUnavail, 13873)                                                                 \
    X(TapiRateUnavail, 13874)                                                                      \
    X(TapiResourceUnavail, 13875)                                                                  \
    X(TapiRequestOverrun, 13876)                                                                   \
    X(TapiStructureTooSmall, 13877)                                                                \
    X(TapiTargetNotFound, 13878)                                                                   \
    X(TapiTargetSelf, 13879)                                                                       \
    X(TapiUninitialized, 13880)                                                                    \
    X(TapiUserUserInfoTooBig, 13881)                                                               \
    X(TapiReinit, 13882)                                                                           \
    X(TapiAddressBlocked, 13883)                                                                   \
    X(TapiBillingRejected, 13884)                                                                  \
    X(TapiInvalFeature, 13885)                                                                     \
    X(TapiNoMultipleInstance, 13886)                                                               \
    X(TapiBusy, 13928)                                                                             \
    X(TapiNotSet, 13929)                                                                           \
    X(TapiNoSelect, 13930)                                                                         \
    X(TapiLoadFail, 13931)                                                                         \
    X(TapiGetAddrFail, 13932)                                                                      \
    X(Tapi16Disabled, 13933)                                                                       \
    X(TapiVoiceNotSupported, 13935)                                                                \
    X(TapiWaveFail, 13936)                                                                         \
    X(TapiTranslateFail, 13942)

#define VELMOR_SERIAL_TAPI_CODE(Name, Code) inline constexpr std::int32_t ec##Name = -(Code);
VELMOR_SERIAL_TAPI_CODES(VELMOR_SERIAL_TAPI_CODE)
#undef VELMOR_SERIAL_TAPI_CODE

inline constexpr std::int32_t ecRasLoadFail = -13980;
