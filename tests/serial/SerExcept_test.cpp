// Unit under test: SerExcept (result codes to exceptions, error texts).
#include "serial/SerExcept.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <typeinfo>
#include <vector>

namespace {

class LoadableComponent : public TSerBaseComponent {};

// Runs CheckError(code) and expects exactly class E with ErrorCode = code,
// catchable as its category C; returns the message.
template <class E, class C> std::string ExpectRaised(std::int32_t code)
{
    try {
        CheckError(nullptr, code);
        ADD_FAILURE() << code << " did not raise";
    } catch (const C& e) {
        EXPECT_EQ(typeid(e), typeid(E)) << code << " raised " << typeid(e).name();
        EXPECT_EQ(e.ErrorCode(), code);
        return e.Message();
    } catch (...) {
        ADD_FAILURE() << code << " raised outside its category";
    }
    return {};
}

} // namespace

TEST(CheckError, ReturnsSuccessCodesUnchanged)
{
    LoadableComponent component;
    EXPECT_EQ(CheckError(&component, 0), 0);
    EXPECT_EQ(CheckError(&component, 17), 17);
    EXPECT_EQ(CheckError(nullptr, INT32_MAX), INT32_MAX);
}

TEST(CheckError, BadIdIsCatchableAsItsCategoryAndTheFamily)
{
    try {
        CheckError(nullptr, -2001);
        FAIL() << "no exception";
    } catch (const EOpenComm& e) {
        EXPECT_EQ(typeid(e), typeid(EBadId));
        EXPECT_EQ(e.ErrorCode(), -2001);
        EXPECT_EQ(e.Message(), "ie_BadId - Specified comport doesn't exist");
        EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");
    }
    EXPECT_THROW(CheckError(nullptr, -2001), ESerialException);
    EXPECT_THROW(CheckError(nullptr, -2001), Exception);
}

TEST(CheckError, MapsEachFamilyToItsClassWithItsText)
{
    EXPECT_EQ((ExpectRaised<EBadArgument, EGeneral>(-1002)), "Bad argument passed to function");
    EXPECT_EQ((ExpectRaised<ECannotUseWithWinSock, EGeneral>(-1009)),
              "Component not compatible with WinSock");
    EXPECT_EQ((ExpectRaised<ENoPortSelected, EOpenComm>(-2011)),
              "The ComNumber property of the TSerComPort has not been set");
    EXPECT_EQ((ExpectRaised<ENotOpenedByTapi, EOpenComm>(-2012)), "Comport was not opened by Tapi");
    EXPECT_EQ((ExpectRaised<ENullApi, ESerialIO>(-3001)), "No device layer specified");
    EXPECT_EQ((ExpectRaised<EOutputBufferTooSmall, ESerialIO>(-3006)),
              "Output buffer too small for block");
    EXPECT_EQ((ExpectRaised<EBaseAddressNotSet, ESerialIO>(-3010)), "Base address not set");
    EXPECT_EQ((ExpectRaised<ETriggerTooLong, ETrigger>(-5002)), "Data trigger too long");
    EXPECT_EQ((ExpectRaised<EBadTriggerHandle, ETrigger>(-5003)), "Bad trigger handle");

    // Modem classes follow the codes in their own order, not the declaration order.
    ExpectRaised<EModemNotStarted, EModem>(-4001);
    ExpectRaised<EModemNotDialing, EModem>(-4003);
    ExpectRaised<ENotDialing, EModem>(-4004);
    ExpectRaised<EAlreadyDialing, EModem>(-4005);
    ExpectRaised<EModemStatusMismatch, EModem>(-4008);

    ExpectRaised<EProtocol, EProtocol>(-6006);
    ExpectRaised<EProtocol, EProtocol>(-6009);
    ExpectRaised<EKeyTooLong, EINI>(-7001);
    ExpectRaised<EBadFieldForIndex, EINI>(-7014);
    ExpectRaised<EFaxBadFormat, EFax>(-8001);
    ExpectRaised<EInvalidPageNumber, EFax>(-8053);
    ExpectRaised<EFaxPageError, EFax>(-8070);
    ExpectRaised<ETapiAllocated, ETapi>(-13801);
    ExpectRaised<ETapiInvalParam, ETapi>(-13850);
    ExpectRaised<ETapiNoMultipleInstance, ETapi>(-13886);
    ExpectRaised<ETapiBusy, ETapi>(-13928);
    ExpectRaised<ETapiTranslateFail, ETapi>(-13942);
    ExpectRaised<ERasLoadFail, ERas>(-13980);

    // Database codes without a class of their own are internal errors.
    for (const std::int32_t code : {-1006, -7003, -7006, -7012}) {
        ExpectRaised<EInternal, EGeneral>(code);
    }
}

TEST(CheckError, SystemCodesBecomeInputOutputErrors)
{
    try {
        CheckError(nullptr, -2);
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_EQ(e.Message(), "File not found");
    }
    try {
        CheckError(nullptr, -162);
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 162);
        EXPECT_EQ(e.Message(), "General failure");
    }
    EXPECT_THROW(CheckError(nullptr, -8), std::bad_alloc);
}

TEST(CheckError, SystemCodesWithoutATableTextTakeTheCleanedSystemText)
{
    try {
        CheckError(nullptr, -87);
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 87);
        EXPECT_EQ(e.Message(), "The parameter is incorrect. ");
    }
    try {
        CheckError(nullptr, -65);
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 65);
        EXPECT_EQ(e.Message(), "Permission denied: you may not open this serial port. ");
    }
    try {
        // What the open found out follows as a sentence of its own.
        CheckError(nullptr, -2008, "COM1 is /dev/ttyUSB0; process 7 (minicom) holds it");
        FAIL() << "no exception";
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(e.ErrorCode(), -2008);
        EXPECT_EQ(e.Message(), "ie_Open - device already open. COM1 is /dev/ttyUSB0; process 7 "
                               "(minicom) holds it");
    }
    try {
        CheckError(nullptr, -7); // neither a table text nor a system text
        FAIL() << "no exception";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 7);
        EXPECT_EQ(e.Message(), "");
    }
}

TEST(CheckError, UnmappedCodesBecomeTheGenericSerialException)
{
    for (const std::int32_t code : {-1, -163, -1001, -3002, -5001, -70000, INT32_MIN}) {
        try {
            CheckError(nullptr, code);
            ADD_FAILURE() << code << " did not raise";
        } catch (const ESerialException& e) {
            EXPECT_EQ(typeid(e), typeid(ESerialException)) << code;
            EXPECT_EQ(e.ErrorCode(), 0) << code;
            EXPECT_EQ(e.Message(), "Serial exception") << code;
        }
    }
}

TEST(CheckError, PassesFailuresThroughWhileTheComponentLoads)
{
    LoadableComponent component;
    component.SetLoading(true);
    EXPECT_EQ(CheckError(&component, -2007), -2007);
    EXPECT_EQ(CheckError(&component, -8), -8);
    EXPECT_EQ(CheckError(&component, -1), -1);
    component.SetLoading(false);
    EXPECT_THROW(CheckError(&component, -2007), ECommNotOpen);
}

TEST(ErrorText, LooksUpTheAbsoluteValue)
{
    EXPECT_EQ(ErrorText(0), "OK");
    EXPECT_EQ(ErrorText(2001), ErrorText(-2001));
    EXPECT_EQ(ErrorText(-1001), "Bad handle passed to com function");
    EXPECT_EQ(ErrorText(3002), "Function not supported by driver");
    EXPECT_EQ(ErrorText(5001), "No more trigger slots");
    EXPECT_EQ(ErrorText(-5), "File access denied"); // the table comes before the system
    EXPECT_EQ(ErrorText(995), "The I/O operation has been aborted because of either a thread "
                              "exit or an application request. ");
    EXPECT_EQ(ErrorText(4001), ""); // no text known
    EXPECT_EQ(ErrorText(INT16_MIN), "");
}

TEST(ErrorText, HoldsTheDispatchLogLabels)
{
    EXPECT_EQ(ErrorText(15001 + 1), "Dispatch");
    EXPECT_EQ(ErrorText(15001 + 9), "TrDatChg");
    EXPECT_EQ(ErrorText(15100 + 5), "Avail");
    EXPECT_EQ(ErrorText(15100 + 17), "Window");
    EXPECT_EQ(ErrorText(15100), ""); // subtype 0
    EXPECT_EQ(ErrorText(15501), "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(ErrorText(15502), "--------  --------  ------------  --------  ---------");
}

TEST(ErrorText, IsSafeFromSeveralThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<std::string> texts(4);
    for (std::size_t t = 0; t < texts.size(); ++t) {
        threads.emplace_back([&texts, t] {
            for (int n = 0; n < 50; ++n) {
                texts[t] = ErrorText(-2008);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& text : texts) {
        EXPECT_EQ(text, "ie_Open - device already open");
    }
}

TEST(CleanSystemText, MakesOneLineWithSingleBlanks)
{
    EXPECT_EQ(CleanSystemText("Line one.\r\nLine  two.\r\n"), "Line one. Line two. ");
    EXPECT_EQ(CleanSystemText("\t\x01 a"), " a");
    EXPECT_EQ(CleanSystemText("\xD0\x9F\xD0\xBE\xD1\x80\xD1\x82"),
              "\xD0\x9F\xD0\xBE\xD1\x80\xD1\x82"); // bytes above 127 are text
    EXPECT_EQ(CleanSystemText(""), "");
}
