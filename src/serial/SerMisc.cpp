#include "SerMisc.h"

#include <langinfo.h>

#include <cstring>

bool SystemCodePageIsUtf8()
{
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

std::string CutText(std::string text, std::size_t maxLength)
{
    if (text.size() <= maxLength) {
        return text;
    }
    std::size_t length = maxLength;
    if (SystemCodePageIsUtf8()) {
        // Back up over continuation bytes to the start of the cut character.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    text.resize(length);
    return text;
}
