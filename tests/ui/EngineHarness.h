#pragma once

// The main window with its real engine, port and timers in front of the
// simulated meter on COM1 of a private COM map.

#include "PtyPair.h"
#include "instrument-sim/simulator.h"
#include "support.h"
#include "ui/Engine.h"
#include "ui/Unit1_.h"

#include <QMessageBox>
#include <QPushButton>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

class EngineHarness : public testing::Test {
protected:
    testutil::ComDir dir;
    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<TForm1> form;

    // baud 0: replies arrive at once, without their line time.
    void Begin(sim::Faults faults = {}, bool linked = true, std::uint32_t baud = 9600)
    {
        if (linked) {
            sim::Config config;
            config.faults = faults;
            config.baud = baud; // replies take their line time, as on the meter's line
            sim = std::make_unique<sim::Simulator>(config);
            sim->Start();
            dir.Link(1, sim->Path());
        }
        form = std::make_unique<TForm1>();
        ASSERT_TRUE(ShowActive(*form));
        ASSERT_TRUE(RealEngine(*form).exchange.Started()) << "activation starts the engine";
    }

    void TearDown() override
    {
        form.reset();
        if (sim) {
            sim->Stop();
        }
    }

    QPushButton* Button(const char* name) const
    {
        return form->findChild<QPushButton*>(QString::fromLatin1(name));
    }

    std::vector<std::uint8_t> Commands() const
    {
        std::vector<std::uint8_t> out;
        for (const auto& r : sim->Requests()) {
            out.push_back(r.bytes.at(0));
        }
        return out;
    }

    QMessageBox* ErrorBox() const
    {
        for (QMessageBox* box : form->findChildren<QMessageBox*>(QStringLiteral("ErrorBox"))) {
            if (box->isVisible()) {
                return box;
            }
        }
        return nullptr;
    }
};
