#include "platform/System.h"

#include <iconv.h>
#include <langinfo.h>
#include <sys/resource.h>
#include <sys/utsname.h>

#include <array>
#include <cerrno>

namespace platform {

namespace {

class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : handle(iconv_open(to, from)) {}
    ~IconvHandle()
    {
        if (valid()) {
            iconv_close(handle);
        }
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;

    bool valid() const { return handle != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return handle; }

private:
    iconv_t handle;
};

bool IsHighSurrogate(std::uint16_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(std::uint16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::uint16_t UnitAt(const char* at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(at[0]) |
                                      static_cast<unsigned char>(at[1]) << 8);
}

// Bytes of the UTF-16 character at the start of a span of inLeft bytes.
std::size_t CharacterBytes(const char* at, std::size_t inLeft)
{
    if (inLeft >= 4 && IsHighSurrogate(UnitAt(at)) && IsLowSurrogate(UnitAt(at + 2))) {
        return 4;
    }
    return inLeft >= 2 ? 2 : inLeft;
}

std::string AsciiFromUtf16(std::span<const std::uint8_t> text)
{
    std::string out;
    const char* at = reinterpret_cast<const char*>(text.data());
    std::size_t left = text.size();
    while (left >= 2) {
        const std::uint16_t unit = UnitAt(at);
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
        const std::size_t step = CharacterBytes(at, left);
        at += step;
        left -= step;
    }
    return out;
}

} // namespace

std::string OperatingSystemName()
{
    utsname name{};
    if (::uname(&name) != 0) {
        return {};
    }
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

std::string LocaleCodeSet()
{
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr ? codeset : "";
}

std::string LocaleFromUtf16(std::span<const std::uint8_t> text)
{
    if (text.empty()) {
        return {};
    }
    const IconvHandle converter(LocaleCodeSet().c_str(), "UTF-16LE");
    if (!converter.valid()) {
        return AsciiFromUtf16(text);
    }
    std::string out;
    // iconv's interface is not const-correct; it only reads the input.
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
    std::size_t inLeft = text.size();
    std::array<char, 256> buffer{};
    while (inLeft > 0) {
        char* outAt = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t result = iconv(converter.get(), &in, &inLeft, &outAt, &outLeft);
        out.append(buffer.data(), static_cast<std::size_t>(outAt - buffer.data()));
        if (result != static_cast<std::size_t>(-1) || errno == E2BIG) {
            continue;
        }
        out += '?';
        if (errno != EILSEQ) {
            break; // an incomplete character at the end
        }
        const std::size_t skip = CharacterBytes(in, inLeft);
        in += skip;
        inLeft -= skip;
    }
    char* outAt = buffer.data();
    std::size_t outLeft = buffer.size();
    iconv(converter.get(), nullptr, nullptr, &outAt, &outLeft);
    out.append(buffer.data(), static_cast<std::size_t>(outAt - buffer.data()));
    return out;
}

bool RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

} // namespace platform
