#pragma once

#include <QDialog>

#include <functional>

class QComboBox;
class QLabel;

// The port settings dialog: a port box COM1..COM4 whose choice takes effect
// at once, and a speed box that is only shown. It has no buttons; its close
// button hides it.
class TForm2 : public QDialog {
    Q_OBJECT

public:
    // setComNumber receives every change of the port box: the chosen item's
    // position plus one, or 0 when the operator's typing left no item chosen.
    explicit TForm2(std::function<void(int)> setComNumber, QWidget* parent = nullptr);

    QLabel* Label1;
    QComboBox* ComboBox1; // port
    QComboBox* ComboBox2; // speed

    // Shows the port's settings without raising a change: item
    // comNumber - 1 of the port box (none when out of range) and "9600"
    // exactly when baud is 9600, "4800" otherwise.
    void LoadPortSettings(int comNumber, int baud);

    // Shows the dialog modally and returns when the operator closes it.
    void ShowModal();

    void ComboBox1Change(QObject* sender);

private:
    void ForgetChoiceWhileTyping(QComboBox* box);

    std::function<void(int)> setComNumber;
};
