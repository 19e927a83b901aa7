#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>

class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class TPageControl;

// The standard integer conversion: leading blanks, an optional "+" or "-",
// then decimal digits, or hexadecimal digits after "$", "x", "X", "0x" or
// "0X"; nothing may follow. Empty text, any other character or a value
// outside the signed 32-bit range gives none.
std::optional<std::int32_t> StrToInt32(const QString& text);

// True when text converts and 0 <= value <= 65534; address receives the
// converted value whenever the text converts.
bool ValidateAddress(const QString& text, int& address);

// The options window: a panel and five pages, of which only the network
// address page has content. It sends nothing and stores nothing.
class Toption : public QWidget {
    Q_OBJECT

public:
    explicit Toption(QWidget* parent = nullptr);

    QLabel* Panel1;
    TPageControl* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QWidget* TabSheet4;
    QWidget* TabSheet5;
    QFrame* Panel2;
    QLabel* Label1;
    QLineEdit* ed_addr;
    QPushButton* BitBtn2;
    QPushButton* BitBtn1;
    QFrame* Panel3;
    QLabel* Label2;
    QLabel* Label5;
    QLabel* Label3;
    QLabel* Label4;
    QPushButton* BitBtn3;

    // "Записать": checks the address; a wrong one is reported in a modal
    // box and the focus goes back to the address field.
    void BitBtn1Click(QObject* sender);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildAddressPage();
};
