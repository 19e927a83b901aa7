#include "serial/SerExcept.h"

#include "platform/SystemMessage.h"

#include <algorithm>
#include <new>

namespace {

constexpr std::size_t MaxTextLength = 255;

template <class E> void Raise(std::int32_t code, const std::string& detail)
{
    if (detail.empty()) {
        throw E(code);
    }
    throw E(code, WithDetail(ErrorText(static_cast<std::int16_t>(code)), detail));
}

struct Mapping {
    std::int32_t code;
    void (*raise)(std::int32_t, const std::string&); // always throws
};

#define VELMOR_MAP_TAPI(Name, Code) {-(Code), &Raise<Name>},

// Ordered by falling code so that it can be searched by halving.
constexpr Mapping Mappings[] = {
    {-1002, &Raise<EBadArgument>},
    {-1003, &Raise<EGotQuitMsg>},
    {-1004, &Raise<EBufferTooBig>},
    {-1005, &Raise<EPortNotAssigned>},
    {-1006, &Raise<EInternal>},
    {-1007, &Raise<EModemNotAssigned>},
    {-1008, &Raise<EPhonebookNotAssigned>},
    {-1009, &Raise<ECannotUseWithWinSock>},
    {-2001, &Raise<EBadId>},
    {-2002, &Raise<EBaudRate>},
    {-2003, &Raise<EByteSize>},
    {-2004, &Raise<EDefault>},
    {-2005, &Raise<EHardware>},
    {-2006, &Raise<EMemory>},
    {-2007, &Raise<ECommNotOpen>},
    {-2008, &Raise<EAlreadyOpen>},
    {-2009, &Raise<ENoHandles>},
    {-2010, &Raise<ENoTimers>},
    {-2011, &Raise<ENoPortSelected>},
    {-2012, &Raise<ENotOpenedByTapi>},
    {-3001, &Raise<ENullApi>},
    {-3003, &Raise<ERegisterHandlerFailed>},
    {-3004, &Raise<EPutBlockFail>},
    {-3005, &Raise<EGetBlockFail>},
    {-3006, &Raise<EOutputBufferTooSmall>},
    {-3007, &Raise<EBufferIsEmpty>},
    {-3008, &Raise<ETracingNotEnabled>},
    {-3009, &Raise<ELoggingNotEnabled>},
    {-3010, &Raise<EBaseAddressNotSet>},
    {-4001, &Raise<EModemNotStarted>},
    {-4002, &Raise<EModemBusy>},
    {-4003, &Raise<EModemNotDialing>},
    {-4004, &Raise<ENotDialing>},
    {-4005, &Raise<EAlreadyDialing>},
    {-4006, &Raise<EModemNotResponding>},
    {-4007, &Raise<EModemRejectedCommand>},
    {-4008, &Raise<EModemStatusMismatch>},
    {-5002, &Raise<ETriggerTooLong>},
    {-5003, &Raise<EBadTriggerHandle>},
    {-6006, &Raise<EProtocol>},
    {-6008, &Raise<EProtocol>},
    {-6009, &Raise<EProtocol>},
    {-7001, &Raise<EKeyTooLong>},
    {-7002, &Raise<EDataTooLarge>},
    {-7003, &Raise<EInternal>},
    {-7004, &Raise<EIniWrite>},
    {-7005, &Raise<EIniRead>},
    {-7006, &Raise<EInternal>},
    {-7007, &Raise<ERecordExists>},
    {-7008, &Raise<ERecordNotFound>},
    {-7010, &Raise<EDatabaseFull>},
    {-7011, &Raise<EDatabaseEmpty>},
    {-7012, &Raise<EInternal>},
    {-7013, &Raise<EBadFieldList>},
    {-7014, &Raise<EBadFieldForIndex>},
    {-8001, &Raise<EFaxBadFormat>},
    {-8002, &Raise<EBadGraphicsFormat>},
    {-8003, &Raise<EConvertAbort>},
    {-8004, &Raise<EUnpackAbort>},
    {-8005, &Raise<ECantMakeBitmap>},
    {-8053, &Raise<EInvalidPageNumber>},
    {-8060, &Raise<EFaxBadMachine>},
    {-8061, &Raise<EFaxBadModemResult>},
    {-8062, &Raise<EFaxTrainError>},
    {-8063, &Raise<EFaxInitError>},
    {-8064, &Raise<EFaxBusy>},
    {-8065, &Raise<EFaxVoiceCall>},
    {-8066, &Raise<EFaxDataCall>},
    {-8067, &Raise<EFaxNoDialTone>},
    {-8068, &Raise<EFaxNoCarrier>},
    {-8069, &Raise<EFaxSessionError>},
    {-8070, &Raise<EFaxPageError>},
    // clang-format off
    VELMOR_SERIAL_TAPI_EXCEPTIONS(VELMOR_MAP_TAPI)
    // clang-format on
    {-13980, &Raise<ERasLoadFail>},
};

#undef VELMOR_MAP_TAPI

constexpr bool CodesFall()
{
    for (std::size_t i = 1; i < std::size(Mappings); ++i) {
        if (Mappings[i].code >= Mappings[i - 1].code) {
            return false;
        }
    }
    return true;
}
static_assert(CodesFall(), "the mapping must be ordered by falling code, each code once");

const Mapping* FindMapping(std::int32_t code)
{
    const auto found =
        std::lower_bound(std::begin(Mappings), std::end(Mappings), code,
                         [](const Mapping& m, std::int32_t wanted) { return m.code > wanted; });
    return found != std::end(Mappings) && found->code == code ? found : nullptr;
}

} // namespace

ESerialException::ESerialException(std::int32_t code)
    : Exception(ErrorText(static_cast<std::int16_t>(code))), errorCode(code)
{
}

ESerialException::ESerialException(const std::string& message) : Exception(message), errorCode(0) {}

ESerialException::ESerialException(std::int32_t code, const std::string& message)
    : Exception(message), errorCode(code)
{
}

std::string WithDetail(std::string text, const std::string& detail)
{
    if (detail.empty()) {
        return text;
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    if (!text.empty() && text.back() != '.') {
        text += '.';
    }
    return text.empty() ? detail : text + ' ' + detail;
}

std::int32_t CheckError(const TSerBaseComponent* component, std::int32_t code)
{
    return CheckError(component, code, std::string());
}

std::int32_t CheckError(const TSerBaseComponent* component, std::int32_t code,
                        const std::string& detail)
{
    if (code >= 0 || (component != nullptr && component->Loading())) {
        return code;
    }
    if (const Mapping* mapping = FindMapping(code)) {
        mapping->raise(code, detail);
    }
    if (code >= -162 && code <= -2) {
        // Out of memory needs no text, and looking one up would allocate.
        if (code == -8) {
            throw std::bad_alloc();
        }
        throw EInOutError(WithDetail(ErrorText(static_cast<std::int16_t>(-code)), detail), -code);
    }
    throw ESerialException(std::string("Serial exception"));
}

std::string CleanSystemText(const std::string& text)
{
    std::string clean;
    clean.reserve(text.size());
    for (const char c : text) {
        const char blanked = static_cast<unsigned char>(c) < 32 ? ' ' : c;
        if (blanked == ' ' && !clean.empty() && clean.back() == ' ') {
            continue;
        }
        clean += blanked;
    }
    return clean;
}

std::string ErrorText(std::int16_t code)
{
    const int id = code < 0 ? -static_cast<int>(code) : code;
    std::string text = CutText(ErrorStrings().StringById(id), MaxTextLength);
    if (!text.empty()) {
        return text;
    }
    const std::string system = platform::SystemMessage(static_cast<std::uint32_t>(id));
    if (system.empty()) {
        return {};
    }
    return CleanSystemText(CutText(system, MaxTextLength));
}

TSerStringResource& ErrorStrings()
{
    static TSerStringResource& reader = *new TSerStringResource("SERIAL_ERROR_STRINGS_ENGLISH");
    return reader;
}
