#pragma once

// The port selection dialog: lists the COM ports that exist (COM1 to COM50)
// and lets the operator pick one. The port component reaches it through the
// hook that InstallComSelectForm sets, so that the component needs no screen.

#include "serial/SerMisc.h"

#include <QDialog>

#include <cstdint>
#include <string>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

// A text that is not a number where one was expected.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

class TComSelectForm : public QDialog {
public:
    static constexpr std::uint16_t HighestPort = 50;

    // Owned by the application when parent is null.
    explicit TComSelectForm(QWidget* parent = nullptr);

    // The number of the selected entry ("COM10" gives 10); EConvertError
    // when nothing is selected.
    std::uint16_t SelectedComNumber() const;

    // Whether port n exists: it opens (and is closed again at once), or it is
    // held by another program. Port 0 never exists.
    static bool IsPortAvailable(std::uint16_t portNumber);

    QLabel* Label1;
    QLabel* Label2;
    QFrame* Bevel1;
    QComboBox* PortsComboBox;
    QPushButton* OkBtn;
    QPushButton* AbortBtn;

    // Fills the list and selects its first entry; runs as the form is created.
    void FormCreate();

    // Closing the window, like Escape, answers Cancel (2).
    void reject() override;
};

// Lets TSerCustomComPort show this dialog when it opens a port numbered 0.
void InstallComSelectForm();
