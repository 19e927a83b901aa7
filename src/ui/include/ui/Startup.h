#pragma once

#include "ui/Unit1_.h"
#include "ui/Unit2.h"
#include "ui/option2.h"

#include <functional>
#include <memory>

// The program: the application's three windows, created in this order and
// kept for the whole run: Form1 (the main window; closing it ends the run),
// option (hidden) and Form2 (hidden). A choice in Form2's port box sets
// Form1's ComPort.ComNumber at once.
class TProgram {
public:
    TProgram();
    // Form1 goes first: its destructor stops and joins the worker and closes
    // the port before any other window goes.
    ~TProgram();
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    // Shows the main window and runs the message loop until it is closed;
    // then the windows are destroyed. Returns the loop's exit code.
    int Run();

    // The windows; all null after Run.
    std::unique_ptr<TForm1> Form1;
    std::unique_ptr<Toption> option;
    std::unique_ptr<TForm2> Form2;

private:
    void DestroyWindows();
};

// What velmor's main does: blocks the ending signals before any thread
// starts, makes the application object and the program, lets the ending
// signals close the main window, and runs until it is closed. started, when
// given, gets the program once its windows exist, before the message loop:
// a program that drives the windows from its own process (the benchmark's
// velmor-driven) hooks in there; velmor itself passes nothing.
int ProgramMain(int argc, char** argv, const std::function<void(TProgram&)>& started = {});
