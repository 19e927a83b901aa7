#pragma once

#include "link/ert.h"
#include "protocol/reply.h"
#include "serial/SerPort.h"
#include "ui/Engine.h"

#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QRadioButton;
class TForm2;
class TMeasurement;
class TTrendData;
class TTrendWindow;
namespace record {
class TRecordFile;
}

// The real engine behind the window: the port, the two timers and the
// exchange. The exchange is declared last, so its worker is joined before the
// timers and the port go.
class TFormEngine : public TEngine {
public:
    // The port on COM1 at 9600 baud, the timers at 100 and 500 ms.
    TFormEngine();

    TSerComPort ComPort;
    QTimer interval;
    QTimer timeout;
    TExchange exchange;

    std::uint8_t PollState() const override { return exchange.PollState; }
    void SetPollState(std::uint8_t value) override { exchange.PollState = value; }
    void SetRequestParameter(std::uint8_t value) override { exchange.RequestFrame[1] = value; }
    void SendRequest(Command command) override { exchange.SendRequest(command); }
    void StopPolling() override { exchange.StopPolling(); }
    void StopReading() override { exchange.StopButton(); }
    void StartInterval() override;
    std::uint8_t ModelIndex() const override { return exchange.ModelIndex; }
    void SetModelIndex(std::uint8_t value) override { exchange.ModelIndex = value; }
    std::uint16_t ComNumber() const override { return ComPort.ComNumber(); }
    std::int32_t Baud() const override { return ComPort.Baud(); }
    void SetComNumber(std::uint16_t number) override { ComPort.SetComNumber(number); }

    // The timers' ticks and the port's triggers run the window's handlers,
    // guarded; replies go to its ApplyReply, the worker's messages to boxes
    // over it, failures of handlers the worker waits for to the
    // application's error display.
    void Attach(TForm1& form) override;
    // Stops and joins the worker; no trigger reaches the window after.
    void Detach() override;
    void Start() override { exchange.Start(); }
    void IntervalTick() override { exchange.IntervalTick(); }
    void TimeoutTick() override { exchange.Wake(); }
    void PortTrigger() override { exchange.PortTrigger(); }
};

// The main window: the measured value in large digits with its unit letter,
// the instrument's mode and ranges mirrored in three groups of radio buttons,
// start and stop, and the model menu.
//
// The radio buttons run their click handler whenever they go from unchecked
// to checked, whether the operator or ApplyReply checks them; checking the
// button that is already checked runs nothing. Focusing a mode or
// voltage-range button marks the next change in those two groups as the
// operator's (OperatorFocus), which is what lets them send a setting command;
// changes of the current range are always sent.
class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    // With the real engine (TFormEngine).
    explicit TForm1(QWidget* parent = nullptr);
    // With the given engine, which the window owns from now on.
    explicit TForm1(std::unique_ptr<TEngine> engine, QWidget* parent = nullptr);
    ~TForm1() override;

    TEngine& Engine() const { return *engine; }

    // Controls, named as the operator's documentation names them.
    QPushButton* BitLoad;
    QPushButton* BitSave;
    QLineEdit* Edit1;
    QLineEdit* Edit2;
    QGroupBox* GroupBox1;
    QGroupBox* GroupBox2;
    QGroupBox* GroupBox3;
    QPushButton* BitBtnStop;

    QRadioButton* RadioU;
    QRadioButton* RadioI;
    QRadioButton* RadioP;
    // RadioButton4..RadioButton10, voltage range index 0..6.
    std::array<QRadioButton*, 7> VoltageButtons;
    // RadioButton11..RadioButton14, current range index 0..3.
    std::array<QRadioButton*, 4> CurrentButtons;
    // Label1..Label7 over the voltage buttons, Label8..Label11 over the
    // current buttons.
    std::array<QLabel*, 7> VoltageLabels;
    std::array<QLabel*, 4> CurrentLabels;

    QMenuBar* MainMenu;
    QMenu* N2;
    QAction* Version1101;
    QMenu* D1;
    QAction* Velmor1;
    QAction* Dranik2;
    QMenu* N1;
    QAction* N3;
    QAction* ghfg1; // "Прибор", below "Порт"
    // Beyond the original menus: "Вид" with "График" and "Запись в файл...".
    QMenu* N4;
    QAction* N5;
    QAction* N6; // checked while recording

    // Mode buttons in mode-code order: RadioU, RadioI, RadioP.
    std::array<QRadioButton*, 3> ModeButtons() const { return {RadioU, RadioI, RadioP}; }

    // Handlers. Each runs on the UI thread; none catches a failure of the
    // engine, so a failed request leaves the remaining steps undone.
    void BitLoadClick(QObject* sender);
    void BitSaveClick(QObject* sender);
    void BitBtnStopClick(QObject* sender);
    void RadioPClick(QObject* sender);
    void RadioButton4Click(QObject* sender);
    void RadioButton11Click(QObject* sender);
    void RadioButton9Enter(QObject* sender);
    void Velmor1Click(QObject* sender);
    void Dranik2Click(QObject* sender);
    // Shows the options window: "Настройка" > "Прибор".
    void ghfg1Click(QObject* sender);

    // Opens the port settings dialog, filled from ComPort.
    void N3Click(QObject* sender);
    void SetPortDialog(TForm2* dialog) { portDialog = dialog; }

    // The engine's handlers: each hands on to the engine.
    void FormActivate(QObject* sender);
    void intervalTimer(QObject* sender);
    void timeoutTimer(QObject* sender);
    void ComPortTrigger(TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t triggerHandle,
                        std::uint16_t data);
    // What ProcessReply does to this window for one reply, in its order: the
    // mode button and Edit2, the voltage button, the current button, Edit1,
    // then the interval timer and PollState through the engine. Each check
    // that changes a button runs that button's handler on the spot.
    void ApplyReply(const ReplyDecision& decision);

    bool OperatorFocus() const { return operatorFocus; }

    // The window ghfg1Click shows (created after this one).
    void SetOptionWindow(QWidget* window) { optionWindow = window; }

    // "Вид" > "График": opens the trend window, or raises it.
    void N5Click(QObject* sender);
    // "Вид" > "Запись в файл...": asks for a file and records every reading
    // into it, or stops recording.
    void N6Click(QObject* sender);
    // Starts recording into path; an empty string, or why not.
    QString StartRecording(const QString& path);
    void StopRecording();
    bool Recording() const;

    // Every answer to a measurement request the engine takes, gaps
    // included: held for the trend window, recorded when recording.
    void MeasurementTaken(const TMeasurement& measurement);
    TTrendData& TrendData() const { return *trendData; }
    // Null until "График" was first opened.
    TTrendWindow* TrendWindow() const { return trendWindow.get(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void Build();
    void BuildControls(QWidget* client);
    // The buttons of reading and the two displays.
    void BuildReadout(QWidget* client);
    void BuildModeGroup(QWidget* client);
    void BuildVoltageGroup(QWidget* client);
    void BuildCurrentGroup(QWidget* client);
    void OrderTabs();
    void BuildMenu();
    void BuildViewMenu();
    // A menu of the bar, or an item of menu, under its object name.
    QMenu* AddMenu(const char* name, const QString& caption);
    static QAction* AddItem(QMenu* menu, const char* name, const QString& caption);
    void BindHandlers();
    void SetCurrentCaptions(const std::array<const char*, 4>& captions);
    // Arrow keys in the mode and voltage groups; true when handled.
    bool MoveWithinGroup(QObject* from, int step);

    std::unique_ptr<TEngine> engine;
    QWidget* optionWindow = nullptr;
    TForm2* portDialog = nullptr;
    bool operatorFocus = false;
    // After the engine, so that they go before it: its worker is stopped
    // first, in the destructor.
    std::unique_ptr<TTrendData> trendData;
    std::unique_ptr<TTrendWindow> trendWindow;
    std::unique_ptr<record::TRecordFile> recordFile;
};
