// Unit under test: SerMisc (the library's shared helpers).
#include "serial/SerMisc.h"

#include <gtest/gtest.h>

#include <clocale>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

TEST(CutText, CutsBytesButNeverSplitsAUtf8Character)
{
    const std::string ascii(300, 'a');
    EXPECT_EQ(CutText(ascii, 255).size(), 255u);
    EXPECT_EQ(CutText("short", 255), "short");

    // 127 two-byte letters then a third: the cut at 255 falls inside it.
    std::string cyrillic;
    for (int n = 0; n < 128; ++n) {
        cyrillic += "\xD0\x96";
    }
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    EXPECT_TRUE(SystemCodePageIsUtf8());
    EXPECT_EQ(CutText(cyrillic, 255), cyrillic.substr(0, 254));
    EXPECT_EQ(CutText(cyrillic, 256), cyrillic);
    std::setlocale(LC_ALL, "C");
    // A single-byte code page has no sequences to respect.
    EXPECT_FALSE(SystemCodePageIsUtf8());
    EXPECT_EQ(CutText(cyrillic, 255), cyrillic.substr(0, 255));
}

TEST(ApplicationExceptionHandler, ReplaceableDisplayAndItsThread)
{
    std::vector<std::string> shown;
    SetApplicationExceptionHandler(
        [&](std::exception_ptr e) { shown.push_back(ExceptionMessage(e)); });
    HandleApplicationException(std::make_exception_ptr(std::runtime_error("port gone")));
    HandleApplicationException(std::make_exception_ptr(42));
    EXPECT_EQ(shown, (std::vector<std::string>{"port gone", "Unknown exception"}));

    // A display that fails itself is swallowed.
    SetApplicationExceptionHandler([](std::exception_ptr) { throw std::runtime_error("x"); });
    EXPECT_NO_THROW(HandleApplicationException(std::make_exception_ptr(1)));

    // Each setter hands back the display it replaced.
    const TApplicationExceptionHandler failing = SetApplicationExceptionHandler(nullptr);
    ASSERT_TRUE(failing);
    EXPECT_THROW(failing(std::make_exception_ptr(1)), std::runtime_error);
    testing::internal::CaptureStderr();
    HandleApplicationException(std::make_exception_ptr(std::runtime_error("on stderr")));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "on stderr\n");

    // Without an application object the main thread is the one marked as such;
    // installing a display elsewhere does not move it.
    bool otherIsMain = false;
    std::thread other([&] {
        MarkApplicationMainThread();
        otherIsMain = IsApplicationMainThread();
    });
    other.join();
    EXPECT_TRUE(otherIsMain);
    EXPECT_FALSE(IsApplicationMainThread());
    MarkApplicationMainThread();
    std::thread installer([] { SetApplicationExceptionHandler(nullptr); });
    installer.join();
    EXPECT_TRUE(IsApplicationMainThread());
}
