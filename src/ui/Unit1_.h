#pragma once

#include "link/reply.h"

#include <QMainWindow>

#include <array>
#include <cstdint>

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QRadioButton;
class TEngine;

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
    explicit TForm1(TEngine& engine, QWidget* parent = nullptr);

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
    // Shows the options window; bound to no control.
    void ghfg1Click(QObject* sender);

    // What ProcessReply does to this window for one reply, in its order: the
    // mode button and Edit2, the voltage button, the current button, Edit1,
    // then the interval timer and PollState through the engine. Each check
    // that changes a button runs that button's handler on the spot.
    void ApplyReply(const ReplyDecision& decision);

    bool OperatorFocus() const { return operatorFocus; }

    // The window ghfg1Click shows (created after this one).
    void SetOptionWindow(QWidget* window) { optionWindow = window; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls(QWidget* client);
    void BuildMenu();
    void BindHandlers();
    void SetCurrentCaptions(const std::array<const char*, 4>& captions);
    // Arrow keys in the mode and voltage groups; true when handled.
    bool MoveWithinGroup(QObject* from, int step);

    TEngine& engine;
    QWidget* optionWindow = nullptr;
    bool operatorFocus = false;
};
