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

// Every mapped result code once, by rising absolute value: the thousands
// are the general failures (1), opening a port (2), serial input and output
// (3), the modem (4), triggers (5), protocols (6), the settings database
// (7), fax (8), telephony and remote access (13). Each entry gives the
// code ec<Name> = -Code, and CheckError raises for it
//   OWN(Name, Code, Category)  its own class E<Name>, derived from Category;
//   SHARED(Name, Code, Class)  the class of another code;
//   TEXT(Name, Code)           no class: the code has a text, but raises as
//                              any unmapped code does.
#define VELMOR_SERIAL_CODES(OWN, SHARED, TEXT)                                                     \
    TEXT(BadHandle, 1001)                                                                          \
    OWN(BadArgument, 1002, EGeneral)                                                               \
    OWN(GotQuitMsg, 1003, EGeneral)                                                                \
    OWN(BufferTooBig, 1004, EGeneral)                                                              \
    OWN(PortNotAssigned, 1005, EGeneral)                                                           \
    OWN(Internal, 1006, EGeneral)                                                                  \
    OWN(ModemNotAssigned, 1007, EGeneral)                                                          \
    OWN(PhonebookNotAssigned, 1008, EGeneral)                                                      \
    OWN(CannotUseWithWinSock, 1009, EGeneral)                                                      \
    OWN(BadId, 2001, EOpenComm)                                                                    \
    OWN(BaudRate, 2002, EOpenComm)                                                                 \
    OWN(ByteSize, 2003, EOpenComm)                                                                 \
    OWN(Default, 2004, EOpenComm)                                                                  \
    OWN(Hardware, 2005, EOpenComm)                                                                 \
    OWN(Memory, 2006, EOpenComm)                                                                   \
    OWN(CommNotOpen, 2007, EOpenComm)                                                              \
    OWN(AlreadyOpen, 2008, EOpenComm)                                                              \
    OWN(NoHandles, 2009, EOpenComm)                                                                \
    OWN(NoTimers, 2010, EOpenComm)                                                                 \
    OWN(NoPortSelected, 2011, EOpenComm)                                                           \
    OWN(NotOpenedByTapi, 2012, EOpenComm)                                                          \
    OWN(NullApi, 3001, ESerialIO)                                                                  \
    TEXT(NotSupported, 3002)                                                                       \
    OWN(RegisterHandlerFailed, 3003, ESerialIO)                                                    \
    OWN(PutBlockFail, 3004, ESerialIO)                                                             \
    OWN(GetBlockFail, 3005, ESerialIO)                                                             \
    OWN(OutputBufferTooSmall, 3006, ESerialIO)                                                     \
    OWN(BufferIsEmpty, 3007, ESerialIO)                                                            \
    OWN(TracingNotEnabled, 3008, ESerialIO)                                                        \
    OWN(LoggingNotEnabled, 3009, ESerialIO)                                                        \
    OWN(BaseAddressNotSet, 3010, ESerialIO)                                                        \
    OWN(ModemNotStarted, 4001, EModem)                                                             \
    OWN(ModemBusy, 4002, EModem)                                                                   \
    OWN(ModemNotDialing, 4003, EModem)                                                             \
    OWN(NotDialing, 4004, EModem)                                                                  \
    OWN(AlreadyDialing, 4005, EModem)                                                              \
    OWN(ModemNotResponding, 4006, EModem)                                                          \
    OWN(ModemRejectedCommand, 4007, EModem)                                                        \
    OWN(ModemStatusMismatch, 4008, EModem)                                                         \
    TEXT(NoMoreTriggers, 5001)                                                                     \
    OWN(TriggerTooLong, 5002, ETrigger)                                                            \
    OWN(BadTriggerHandle, 5003, ETrigger)                                                          \
    SHARED(Protocol6006, 6006, EProtocol)                                                          \
    SHARED(Protocol6008, 6008, EProtocol)                                                          \
    SHARED(Protocol6009, 6009, EProtocol)                                                          \
    OWN(KeyTooLong, 7001, EINI)                                                                    \
    OWN(DataTooLarge, 7002, EINI)                                                                  \
    SHARED(Internal7003, 7003, EInternal)                                                          \
    OWN(IniWrite, 7004, EINI)                                                                      \
    OWN(IniRead, 7005, EINI)                                                                       \
    SHARED(Internal7006, 7006, EInternal)                                                          \
    OWN(RecordExists, 7007, EINI)                                                                  \
    OWN(RecordNotFound, 7008, EINI)                                                                \
    OWN(DatabaseFull, 7010, EINI)                                                                  \
    OWN(DatabaseEmpty, 7011, EINI)                                                                 \
    SHARED(Internal7012, 7012, EInternal)                                                          \
    OWN(BadFieldList, 7013, EINI)                                                                  \
    OWN(BadFieldForIndex, 7014, EINI)                                                              \
    OWN(FaxBadFormat, 8001, EFax)                                                                  \
    OWN(BadGraphicsFormat, 8002, EFax)                                                             \
    OWN(ConvertAbort, 8003, EFax)                                                                  \
    OWN(UnpackAbort, 8004, EFax)                                                                   \
    OWN(CantMakeBitmap, 8005, EFax)                                                                \
    OWN(InvalidPageNumber, 8053, EFax)                                                             \
    OWN(FaxBadMachine, 8060, EFax)                                                                 \
    OWN(FaxBadModemResult, 8061, EFax)                                                             \
    OWN(FaxTrainError, 8062, EFax)                                                                 \
    OWN(FaxInitError, 8063, EFax)                                                                  \
    OWN(FaxBusy, 8064, EFax)                                                                       \
    OWN(FaxVoiceCall, 8065, EFax)                                                                  \
    OWN(FaxDataCall, 8066, EFax)                                                                   \
    OWN(FaxNoDialTone, 8067, EFax)                                                                 \
    OWN(FaxNoCarrier, 8068, EFax)                                                                  \
    OWN(FaxSessionError, 8069, EFax)                                                               \
    OWN(FaxPageError, 8070, EFax)                                                                  \
    OWN(TapiAllocated, 13801, ETapi)                                                               \
    OWN(TapiBadDeviceID, 13802, ETapi)                                                             \
    OWN(TapiBearerModeUnavail, 13803, ETapi)                                                       \
    OWN(TapiCallUnavail, 13805, ETapi)                                                             \
    OWN(TapiCompletionOverrun, 13806, ETapi)                                                       \
    OWN(TapiConferenceFull, 13807, ETapi)                                                          \
    OWN(TapiDialBilling, 13808, ETapi)                                                             \
    OWN(TapiDialDialtone, 13809, ETapi)                                                            \
    OWN(TapiDialPrompt, 13810, ETapi)                                                              \
    OWN(TapiDialQuiet, 13811, ETapi)                                                               \
    OWN(TapiIncompatibleApiVersion, 13812, ETapi)                                                  \
    OWN(TapiIncompatibleExtVersion, 13813, ETapi)                                                  \
    OWN(TapiIniFileCorrupt, 13814, ETapi)                                                          \
    OWN(TapiInUse, 13815, ETapi)                                                                   \
    OWN(TapiInvalAddress, 13816, ETapi)                                                            \
    OWN(TapiInvalAddressID, 13817, ETapi)                                                          \
    OWN(TapiInvalAddressMode, 13818, ETapi)                                                        \
    OWN(TapiInvalAddressState, 13819, ETapi)                                                       \
    OWN(TapiInvalAppHandle, 13820, ETapi)                                                          \
    OWN(TapiInvalAppName, 13821, ETapi)                                                            \
    OWN(TapiInvalBearerMode, 13822, ETapi)                                                         \
    OWN(TapiInvalCallComplMode, 13823, ETapi)                                                      \
    OWN(TapiInvalCallHandle, 13824, ETapi)                                                         \
    OWN(TapiInvalCallParams, 13825, ETapi)                                                         \
    OWN(TapiInvalCallPrivilege, 13826, ETapi)                                                      \
    OWN(TapiInvalCallSelect, 13827, ETapi)                                                         \
    OWN(TapiInvalCallState, 13828, ETapi)                                                          \
    OWN(TapiInvalCallStatelist, 13829, ETapi)                                                      \
    OWN(TapiInvalCard, 13830, ETapi)                                                               \
    OWN(TapiInvalCompletionID, 13831, ETapi)                                                       \
    OWN(TapiInvalConfCallHandle, 13832, ETapi)                                                     \
    OWN(TapiInvalConsultCallHandle, 13833, ETapi)                                                  \
    OWN(TapiInvalCountryCode, 13834, ETapi)                                                        \
    OWN(TapiInvalDeviceClass, 13835, ETapi)                                                        \
    OWN(TapiInvalDeviceHandle, 13836, ETapi)                                                       \
    OWN(TapiInvalDialParams, 13837, ETapi)                                                         \
    OWN(TapiInvalDigitList, 13838, ETapi)                                                          \
    OWN(TapiInvalDigitMode, 13839, ETapi)                                                          \
    OWN(TapiInvalDigits, 13840, ETapi)                                                             \
    OWN(TapiInvalExtVersion, 13841, ETapi)                                                         \
    OWN(TapiInvalGroupID, 13842, ETapi)                                                            \
    OWN(TapiInvalLineHandle, 13843, ETapi)                                                         \
    OWN(TapiInvalLineState, 13844, ETapi)                                                          \
    OWN(TapiInvalLocation, 13845, ETapi)                                                           \
    OWN(TapiInvalMediaList, 13846, ETapi)                                                          \
    OWN(TapiInvalMediaMode, 13847, ETapi)                                                          \
    OWN(TapiInvalMessageID, 13848, ETapi)                                                          \
    OWN(TapiInvalParam, 13850, ETapi)                                                              \
    OWN(TapiInvalParkID, 13851, ETapi)                                                             \
    OWN(TapiInvalParkMode, 13852, ETapi)                                                           \
    OWN(TapiInvalPointer, 13853, ETapi)                                                            \
    OWN(TapiInvalPrivSelect, 13854, ETapi)                                                         \
    OWN(TapiInvalRate, 13855, ETapi)                                                               \
    OWN(TapiInvalRequestMode, 13856, ETapi)                                                        \
    OWN(TapiInvalTerminalID, 13857, ETapi)                                                         \
    OWN(TapiInvalTerminalMode, 13858, ETapi)                                                       \
    OWN(TapiInvalTimeout, 13859, ETapi)                                                            \
    OWN(TapiInvalTone, 13860, ETapi)                                                               \
    OWN(TapiInvalToneList, 13861, ETapi)                                                           \
    OWN(TapiInvalToneMode, 13862, ETapi)                                                           \
    OWN(TapiInvalTransferMode, 13863, ETapi)                                                       \
    OWN(TapiLineMapperFailed, 13864, ETapi)                                                        \
    OWN(TapiNoConference, 13865, ETapi)                                                            \
    OWN(TapiNoDevice, 13866, ETapi)                                                                \
    OWN(TapiNoDriver, 13867, ETapi)                                                                \
    OWN(TapiNoMem, 13868, ETapi)                                                                   \
    OWN(TapiNoRequest, 13869, ETapi)                                                               \
    OWN(TapiNotOwner, 13870, ETapi)                                                                \
    OWN(TapiNotRegistered, 13871, ETapi)                                                           \
    OWN(TapiOperationFailed, 13872, ETapi)                                                         \
    OWN(TapiOperationUnavail, 13873, ETapi)                                                        \
    OWN(TapiRateUnavail, 13874, ETapi)                                                             \
    OWN(TapiResourceUnavail, 13875, ETapi)                                                         \
    OWN(TapiRequestOverrun, 13876, ETapi)                                                          \
    OWN(TapiStructureTooSmall, 13877, ETapi)                                                       \
    OWN(TapiTargetNotFound, 13878, ETapi)                                                          \
    OWN(TapiTargetSelf, 13879, ETapi)                                                              \
    OWN(TapiUninitialized, 13880, ETapi)                                                           \
    OWN(TapiUserUserInfoTooBig, 13881, ETapi)                                                      \
    OWN(TapiReinit, 13882, ETapi)                                                                  \
    OWN(TapiAddressBlocked, 13883, ETapi)                                                          \
    OWN(TapiBillingRejected, 13884, ETapi)                                                         \
    OWN(TapiInvalFeature, 13885, ETapi)                                                            \
    OWN(TapiNoMultipleInstance, 13886, ETapi)                                                      \
    OWN(TapiBusy, 13928, ETapi)                                                                    \
    OWN(TapiNotSet, 13929, ETapi)                                                                  \
    OWN(TapiNoSelect, 13930, ETapi)                                                                \
    OWN(TapiLoadFail, 13931, ETapi)                                                                \
    OWN(TapiGetAddrFail, 13932, ETapi)                                                             \
    OWN(Tapi16Disabled, 13933, ETapi)                                                              \
    OWN(TapiVoiceNotSupported, 13935, ETapi)                                                       \
    OWN(TapiWaveFail, 13936, ETapi)                                                                \
    OWN(TapiTranslateFail, 13942, ETapi)                                                           \
    OWN(RasLoadFail, 13980, ERas)

#define VELMOR_SERIAL_CODE(Name, Code) inline constexpr std::int32_t ec##Name = -(Code);
#define VELMOR_SERIAL_CLASS_CODE(Name, Code, Class) VELMOR_SERIAL_CODE(Name, Code)
VELMOR_SERIAL_CODES(VELMOR_SERIAL_CLASS_CODE, VELMOR_SERIAL_CLASS_CODE, VELMOR_SERIAL_CODE)
#undef VELMOR_SERIAL_CLASS_CODE
#undef VELMOR_SERIAL_CODE
