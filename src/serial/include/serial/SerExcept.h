#pragma once

#include "serial/SerErrors.h"
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

// The failures with a class of their own, from the list of codes.
#define VELMOR_SERIAL_OWN_EXCEPTION(Name, Code, Category) VELMOR_SERIAL_EXCEPTION(E##Name, Category)
#define VELMOR_SERIAL_NO_EXCEPTION(...)
VELMOR_SERIAL_CODES(VELMOR_SERIAL_OWN_EXCEPTION, VELMOR_SERIAL_NO_EXCEPTION,
                    VELMOR_SERIAL_NO_EXCEPTION)
#undef VELMOR_SERIAL_NO_EXCEPTION
#undef VELMOR_SERIAL_OWN_EXCEPTION

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
