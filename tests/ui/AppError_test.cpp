// Unit under test: AppError (the application's error display).
#include "ui/AppError.h"

#include "support.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(ErrorDisplayText, FullStopAfterAnythingAboveTheFullStop)
{
    struct Case {
        const char* message;
        const char* shown;
    };
    const Case cases[] = {
        {"Invalid port number", "Invalid port number."},      // Latin letter
        {"Порт не открыт", "Порт не открыт."},                // Cyrillic letter
        {"Ошибка 5", "Ошибка 5."},                            // digit
        {"Error:", "Error:."},                                // 0x3A
        {"Really?", "Really?."},                              // 0x3F
        {"Нет ответа от прибора!", "Нет ответа от прибора!"}, // 0x21
        {"(COM3)", "(COM3)"},                                 // 0x29
        {"Port closed.", "Port closed."},                     // the stop itself
        {"a-", "a-"},                                         // 0x2D, just below
        {"a/", "a/."},                                        // 0x2F, just above
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorDisplayText(c.message), c.shown) << c.message;
    }
}

TEST(ApplicationTitle, FileNameUpToTheFirstStopRestLowerCase)
{
    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("/usr/local/bin/velmor")),
              QStringLiteral("velmor"));
    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("VELMOR.EXE")), QStringLiteral("Velmor"));
    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("/opt/my.tool.bin")), QStringLiteral("my"));
    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("/tmp/ui_Tests")),
              QStringLiteral("ui_tests"));
    EXPECT_EQ(ApplicationTitleFromPath(QStringLiteral("/tmp/.hidden")), QString());
}

TEST(ShowApplicationError, ErrorBoxWithTitleIconAndOk)
{
    const SeenBox box = CloseMessageBoxDuring([] { ShowApplicationError("Port COM7 not found"); });
    ASSERT_TRUE(box.shown);
    EXPECT_EQ(box.title, ApplicationTitle());
    EXPECT_EQ(box.text, QStringLiteral("Port COM7 not found."));
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QStringList{QStringLiteral("OK")});
}

TEST(Guarded, FailureGoesToTheErrorDisplayAndNoFurther)
{
    bool after = false;
    const SeenBox box = CloseMessageBoxDuring([&] {
        Guarded([] { throw std::runtime_error("Нет такого порта"); });
        after = true;
    });
    EXPECT_TRUE(after);
    ASSERT_TRUE(box.shown);
    EXPECT_EQ(box.text, QStringLiteral("Нет такого порта."));

    int runs = 0;
    const SeenBox none = CloseMessageBoxDuring([&] { Guarded([&] { ++runs; }); });
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(none.shown);
}
