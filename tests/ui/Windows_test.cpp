// Unit under test: every window the program shows (src/ui, and the port selection dialog of
// src/serial/SerSelCom), at the faces the program installs (src/ui/FormStyle).
#include "PtyPair.h"
#include "instrument-sim/simulator.h"
#include "serial/SerSelCom.h"
#include "support.h"
#include "ui/PageControl.h"
#include "ui/Startup.h"

#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

namespace {

// Checks the modal box that action brings up; fails when none comes.
void InBox(const std::function<void()>& action)
{
    const SeenBox seen =
        CloseMessageBoxDuring(action, [](QMessageBox& box) { ExpectCaptionsFit(box); });
    EXPECT_TRUE(seen.shown);
}

} // namespace

TEST(Windows, EveryCaptionFitsAtTheFacesTheProgramResolves)
{
    testutil::ComDir dir;
    sim::Config config;
    config.faults.silent = true;
    sim::Simulator meter(config);
    meter.Start();
    dir.Link(1, meter.Path());

    TProgram program;
    TForm1& form = *program.Form1;
    ASSERT_TRUE(ShowActive(form));
    ExpectCaptionsFit(form);
    form.Velmor1->trigger();
    ExpectCaptionsFit(form);

    form.ghfg1->trigger();
    Toption& option = *program.option;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&option));
    for (int page = 0; page < option.PageControl1->count(); ++page) {
        option.PageControl1->setCurrentIndex(page);
        ExpectCaptionsFit(option);
    }
    option.PageControl1->setCurrentWidget(option.TabSheet2);
    option.ed_addr->setText(QStringLiteral("65535"));
    InBox([&] { option.BitBtn1->click(); });
    option.close();

    // The port settings as "Порт" opens them; typing leaves port 0, which the
    // next request asks for.
    OnNextModal<TForm2>([&](TForm2& settings) {
        ExpectCaptionsFit(settings);
        QTest::keyClick(settings.ComboBox1->lineEdit(), Qt::Key_Backspace);
        settings.close();
    });
    form.N3->trigger();
    ASSERT_EQ(RealEngine(form).ComPort.ComNumber(), 0);
    OnNextModal<TComSelectForm>([&](TComSelectForm& select) {
        EXPECT_EQ(select.PortsComboBox->currentText(), QStringLiteral("COM1"));
        ExpectCaptionsFit(select);
        QTest::mouseClick(select.AbortBtn, Qt::LeftButton);
    });
    InBox([&] { QTest::mouseClick(form.BitLoad, Qt::LeftButton); });

    // The meter's silence, in the link's own box.
    RealEngine(form).ComPort.SetComNumber(1);
    QTest::mouseClick(form.BitLoad, Qt::LeftButton);
    QMessageBox* silence = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (silence = form.findChild<QMessageBox*>(QStringLiteral("ErrorBox"))); },
        5000));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(silence));
    ExpectCaptionsFit(*silence);
    silence->buttons().front()->click();
}
