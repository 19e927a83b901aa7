#pragma once

#include "serial/SerMisc.h"
#include "serial/SerStrRes.h"

#include <cstdint>
#include <string>

// A failure of the serial library. ErrorCode is the library's (negative)
// result code, or 0 for the generic "Serial exception".
class ESerialException : public Exception {
public:
    // The message is ErrorText of the code's absolute value.
    explicit ESerialException(std::int32_t code);
    // ErrorCode 0.
    explicit ESerialException(const std::string& message);
    // A message of its own: the code's text with more said after it.
    ESerialException(std::int32_t code, const std::string& message);

    std::int32_t ErrorCode() const noexcept { return errorCode; }

private:
    std::int32_t errorCode;
};

// An input/output failure of the system, with its (positive) error number.
class EInOutError : public Exception {
public:
    EInOutError(const std::string& message, std::int32_t errorCode)
        : Exception(message), errorCode(errorCode)
    {
    }

    std::int32_t ErrorCode() const noexcept { return errorCode; }

private:
    std::int32_t errorCode;
};

// Name and Base are a class and its base: no parentheses can go round them.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VELMOR_SERIAL_EXCEPTION(Name, Base)                                                        \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
    };
// NOLINTEND(bugprone-macro-parentheses)

// Categories: catching one catches its whole family.
VELMOR_SERIAL_EXCEPTION(EGeneral, ESerialException)
VELMOR_SERIAL_EXCEPTION(EOpenComm, ESerialException)
VELMOR_SERIAL_EXCEPTION(ESerialIO, ESerialException)
VELMOR_SERIAL_EXCEPTION(EModem, ESerialException)
VELMOR_SERIAL_EXCEPTION(ETrigger, ESerialException)
VELMOR_SERIAL_EXCEPTION(EProtocol, ESerialException)
VELMOR_SERIAL_EXCEPTION(EINI, ESerialException)
VELMOR_SERIAL_EXCEPTION(EFax, ESerialException)
VELMOR_SERIAL_EXCEPTION(ETapi, ESerialException)
VELMOR_SERIAL_EXCEPTION(ERas, ESerialException)

// Specific failures (class, category).
#define VELMOR_SERIAL_SPECIFIC_EXCEPTIONS(X)                                                       \
    X(EBadArgument, EGeneral)                                                                      \
    X(EGotQuitMsg, EGeneral)                                                                       \
    X(EBufferTooBig, EGeneral)                                                                     \
    X(EPortNotAssigned, EGeneral)                                                                  \
    X(EInternal, EGeneral)                                                                         \
    X(EModemNotAssigned, EGeneral)                                                                 \
    X(EPhonebookNotAssigned, EGeneral)                                                             \
    X(ECannotUseWithWinSock, EGeneral)                                                             \
    X(EBadId, EOpenComm)                                                                           \
    X(EBaudRate, EOpenComm)                                                                        \
    X(EByteSize, EOpenComm)                                                                        \
    X(EDefault, EOpenComm)                                                                         \
    X(EHardware, EOpenComm)                                                                        \
    X(EMemory, EOpenComm)                                                                          \
    X(ECommNotOpen, EOpenComm)                                                                     \
    X(EAlreadyOpen, EOpenComm)                                                                     \
    X(ENoHandles, EOpenComm)                                                                       \
    X(ENoTimers, EOpenComm)                                                                        \
    X(ENoPortSelected, EOpenComm)                                                                  \
    X(ENotOpenedByTapi, EOpenComm)                                                                 \
    X(ENullApi, ESerialIO)                                                                         \
    X(ERegisterHandlerFailed, ESerialIO)                                                           \
    X(EPutBlockFail, ESerialIO)                                                                    \
    X(EGetBlockFail, ESerialIO)                                                                    \
    X(EOutputBufferTooSmall, ESerialIO)                                                            \
    X(EBufferIsEmpty, ESerialIO)                                                                   \
    X(ETracingNotEnabled, ESerialIO)                                                               \
    X(ELoggingNotEnabled, ESerialIO)                                                               \
    X(EBaseAddressNotSet, ESerialIO)                                                               \
    X(EModemNotStarted, EModem)                                                                    \
    X(EModemBusy, EModem)                                                                          \
    X(EModemNotDialing, EModem)                                                                    \
    X(EModemNotResponding, EModem)                                                                 \
    X(EModemRejectedCommand, EModem)                                                               \
    X(EModemStatusMismatch, EModem)                                                                \
    X(EAlreadyDialing, EModem)                                                                     \
    X(ENotDialing, EModem)                                                                         \
    X(ETriggerTooLong, ETrigger)                                                                   \
    X(EBadTriggerHandle, ETrigger)                                                                 \
    X(EKeyTooLong, EINI)                                                                           \
    X(EDataTooLarge, EINI)                                                                         \
    X(EIniWrite, EINI)                                                                             \
    X(EIniRead, EINI)                                                                              \
    X(ERecordExists, EINI)                                                                         \
    X(ERecordNotFound, EINI)                                                                       \
    X(EDatabaseFull, EINI)                                                                         \
    X(EDatabaseEmpty, EINI)                                                                        \
    X(EBadFieldList, EINI)                                                                         \
    X(EBadFieldForIndex, EINI)                                                                     \
    X(EFaxBadFormat, EFax)                                                                         \
    X(EBadGraphicsFormat, EFax)                                                                    \
    X(EConvertAbort, EFax)                                                                         \
    X(EUnpackAbort, EFax)                                                                          \
    X(ECantMakeBitmap, EFax)                                                                       \
    X(EInvalidPageNumber, EFax)                                                                    \
    X(EFaxBadMachine, EFax)                                                                        \
    X(EFaxBadModemResult, EFax)                                                                    \
    X(EFaxTrainError, EFax)                                                                        \
    X(EFaxInitError, EFax)                                                                         \
    X(EFaxBusy, EFax)                                                                              \
    X(EFaxVoiceCall, EFax)                                                                         \
    X(EFaxDataCall, EFax)                                                                          \
    X(EFaxNoDialTone, EFax)                                                                        \
    X(EFaxNoCarrier, EFax)                                                                         \
    X(EFaxSessionError, EFax)                                                                      \
    X(EFaxPageError, EFax)                                                                         \
    X(ERasLoadFail, ERas)

VELMOR_SERIAL_SPECIFIC_EXCEPTIONS(VELMOR_SERIAL_EXCEPTION)

// Telephony failures (class, absolute result code); each derives from ETapi.
#define VELMOR_SERIAL_TAPI_EXCEPTIONS(X)                                                           \
    X(ETapiAllocated, 13801)                                                                       \
    X(ETapiBadDeviceID, 13802)                                                                     \
    X(ETapiBearerModeUnavail, 13803)                                                               \
    X(ETapiCallUnavail, 13805)                                                                     \
    X(ETapiCompletionOverrun, 13806)                                                               \
    X(ETapiConferenceFull, 13807)                                                                  \
    X(ETapiDialBilling, 13808)                                                                     \
    X(ETapiDialDialtone, 13809)                                                                    \
    X(ETapiDialPrompt, 13810)                                                                      \
    X(ETapiDialQuiet, 13811)                                                                       \
    X(ETapiIncompatibleApiVersion, 13812)                                                          \
    X(ETapiIncompatibleExtVersion, 13813)                                                          \
    X(ETapiIniFileCorrupt, 13814)                                                                  \
    X(ETapiInUse, 13815)                                                                           \
    X(ETapiInvalAddress, 13816)                                                                    \
    X(ETapiInvalAddressID, 13817)                                                                  \
    X(ETapiInvalAddressMode, 13818)                                                                \
    X(ETapiInvalAddressState, 13819)                                                               \
    X(ETapiInvalAppHandle, 13820)                                                                  \
    X(ETapiInvalAppName, 13821)                                                                    \
    X(ETapiInvalBearerMode, 13822)                                                                 \
    X(ETapiInvalCallComplMode, 13823)                                                              \
    X(ETapiInvalCallHandle, 13824)                                                                 \
    X(ETapiInvalCallParams, 13825)                                                                 \
    X(ETapiInvalCallPrivilege, 13826)                                                              \
    X(ETapiInvalCallSelect, 13827)                                                                 \
    X(ETapiInvalCallState, 13828)                                                                  \
    X(ETapiInvalCallStatelist, 13829)                                                              \
    X(ETapiInvalCard, 13830)                                                                       \
    X(ETapiInvalCompletionID, 13831)                                                               \
    X(ETapiInvalConfCallHandle, 13832)                                                             \
    X(ETapiInvalConsultCallHandle, 13833)                                                          \
    X(ETapiInvalCountryCode, 13834)                                                                \
    X(ETapiInvalDeviceClass, 13835)                                                                \
    X(ETapiInvalDeviceHandle, 13836)                                                               \
    X(ETapiInvalDialParams, 13837)                                                                 \
    X(ETapiInvalDigitList, 13838)                                                                  \
    X(ETapiInvalDigitMode, 13839)                                                                  \
    X(ETapiInvalDigits, 13840)                                                                     \
    X(ETapiInvalExtVersion, 13841)                                                                 \
    X(ETapiInvalGroupID, 13842)                                                                    \
    X(ETapiInvalLineHandle, 13843)                                                                 \
    X(ETapiInvalLineState, 13844)                                                                  \
    X(ETapiInvalLocation, 13845)                                                                   \
    X(ETapiInvalMediaList, 13846)                                                                  \
    X(ETapiInvalMediaMode, 13847)                                                                  \
    X(ETapiInvalMessageID, 13848)                                                                  \
    X(ETapiInvalParam, 13850)                                                                      \
    X(ETapiInvalParkID, 13851)                                                                     \
    X(ETapiInvalParkMode, 13852)                                                                   \
    X(ETapiInvalPointer, 13853)                                                                    \
    X(ETapiInvalPrivSelect, 13854)                                                                 \
    X(ETapiInvalRate, 13855)                                                                       \
    X(ETapiInvalRequestMode, 13856)                                                                \
    X(ETapiInvalTerminalID, 13857)                                                                 \
    X(ETapiInvalTerminalMode, 13858)                                                               \
    X(ETapiInvalTimeout, 13859)                                                                    \
    X(ETapiInvalTone, 13860)                                                                       \
    X(ETapiInvalToneList, 13861)                                                                   \
    X(ETapiInvalToneMode, 13862)                                                                   \
    X(ETapiInvalTransferMode, 13863)                                                               \
    X(ETapiLineMapperFailed, 13864)                                                                \
    X(ETapiNoConference, 13865)                                                                    \
    X(ETapiNoDevice, 13866)                                                                        \
    X(ETapiNoDriver, 13867)                                                                        \
    X(ETapiNoMem, 13868)                                                                           \
    X(ETapiNoRequest, 13869)                                                                       \
    X(ETapiNotOwner, 13870)                                                                        \
    X(ETapiNotRegistered, 13871)                                                                   \
    X(ETapiOperationFailed, 13872)                                                                 \
    X(ETapiOperationUnavail, 13873)                                                                \
    X(ETapiRateUnavail, 13874)                                                                     \
    X(ETapiResourceUnavail, 13875)                                                                 \
    X(ETapiRequestOverrun, 13876)                                                                  \
    X(ETapiStructureTooSmall, 13877)                                                               \
    X(ETapiTargetNotFound, 13878)                                                                  \
    X(ETapiTargetSelf, 13879)                                                                      \
    X(ETapiUninitialized, 13880)                                                                   \
    X(ETapiUserUserInfoTooBig, 13881)                                                              \
    X(ETapiReinit, 13882)                                                                          \
    X(ETapiAddressBlocked, 13883)                                                                  \
    X(ETapiBillingRejected, 13884)                                                                 \
    X(ETapiInvalFeature, 13885)                                                                    \
    X(ETapiNoMultipleInstance, 13886)                                                              \
    X(ETapiBusy, 13928)                                                                            \
    X(ETapiNotSet, 13929)                                                                          \
    X(ETapiNoSelect, 13930)                                                                        \
    X(ETapiLoadFail, 13931)                                                                        \
    X(ETapiGetAddrFail, 13932)                                                                     \
    X(ETapi16Disabled, 13933)                                                                      \
    X(ETapiVoiceNotSupported, 13935)                                                               \
    X(ETapiWaveFail, 13936)                                                                        \
    X(ETapiTranslateFail, 13942)

#define VELMOR_SERIAL_TAPI_EXCEPTION(Name, Code) VELMOR_SERIAL_EXCEPTION(Name, ETapi)
VELMOR_SERIAL_TAPI_EXCEPTIONS(VELMOR_SERIAL_TAPI_EXCEPTION)
#undef VELMOR_SERIAL_TAPI_EXCEPTION

// Passes code back when it is not a failure (0 or above) or while component
// (may be null) is loading. Otherwise raises: the class mapped to the code
// with ErrorCode = code; for -162..-2 EInOutError with ErrorCode = -code and
// the system error's text (-8: std::bad_alloc); for any other code
// ESerialException "Serial exception" with ErrorCode 0.
std::int32_t CheckError(const TSerBaseComponent* component, std::int32_t code);
// The same, with detail (if not empty) after the text, as one more sentence:
// which device a port is, who holds it, why it may not be opened.
std::int32_t CheckError(const TSerBaseComponent* component, std::int32_t code,
                        const std::string& detail);

// text, then detail as the sentence after it.
std::string WithDetail(std::string text, const std::string& detail);

// The text for the absolute value of code, at most 255 characters: the error
// table's entry, else the system's message cleaned to one line, else empty.
std::string ErrorText(std::int16_t code);

// Control characters become blanks and runs of blanks shrink to one, so a
// system message with line breaks reads as one line.
std::string CleanSystemText(const std::string& text);

// The reader of the error texts ("SERIAL_ERROR_STRINGS_ENGLISH"). Created on
// first use and never destroyed, so it stays usable while the program exits.
TSerStringResource& ErrorStrings();
