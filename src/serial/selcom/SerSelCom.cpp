#include "serial/SerSelCom.h"

#include "serial/SerPort.h"

#include "platform/LastError.h"
#include "platform/SerialDevice.h"

#include <QComboBox>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <charconv>

namespace {

constexpr int ClientWidth = 220;
constexpr int ClientHeight = 131;
constexpr int ItemHeight = 13;
constexpr int LabelHeight = 13;

// A label as wide as its caption, as the stored ones are: they took 176 and
// 133 px in the stored face, and take what the face installed here needs.
QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, int left, int top)
{
    auto* label = new QLabel(QString::fromLatin1(caption), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(left, top, label->sizeHint().width(), LabelHeight);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int left)
{
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, 95, 85, 27);
    return button;
}

} // namespace

TComSelectForm::TComSelectForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("ComSelectForm"));
    setWindowTitle(QStringLiteral("Select Port"));
    setFixedSize(ClientWidth, ClientHeight);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    setFont(font);
    QPalette colours = palette();
    colours.setColor(QPalette::WindowText, Qt::black);
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);

    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameShape(QFrame::Box);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->setGeometry(8, 8, 201, 42);
    Label1 = MakeLabel(this, "Label1", "The configured serial port is not valid.", 18, 14);
    Label2 = MakeLabel(this, "Label2", "Please choose another port.", 18, 30);

    OkBtn = MakeButton(this, "OkBtn", "OK", 8);
    OkBtn->setDefault(true);
    OkBtn->setAutoDefault(true);
    // Return presses the button that has the focus, OK from anywhere else.
    AbortBtn = MakeButton(this, "AbortBtn", "Cancel", 124);
    AbortBtn->setAutoDefault(true);
    connect(OkBtn, &QPushButton::clicked, this, [this] { done(ModalResultOk); });
    connect(AbortBtn, &QPushButton::clicked, this, [this] { done(ModalResultAbort); });

    // Created after the buttons: the tab order is OK, Cancel, the list.
    PortsComboBox = new QComboBox(this);
    PortsComboBox->setObjectName(QStringLiteral("PortsComboBox"));
    PortsComboBox->setEditable(false);
    PortsComboBox->setGeometry(8, 64, 201, 21);
    OkBtn->setFocus();

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    FormCreate();
}

void TComSelectForm::FormCreate()
{
    PortsComboBox->clear();
    for (std::uint16_t n = 1; n <= HighestPort; ++n) {
        if (IsPortAvailable(n)) {
            PortsComboBox->addItem(QStringLiteral("COM%1").arg(n));
            PortsComboBox->setItemData(PortsComboBox->count() - 1, QSize(0, ItemHeight),
                                       Qt::SizeHintRole);
        }
    }
    PortsComboBox->setCurrentIndex(0);
}

std::uint16_t TComSelectForm::SelectedComNumber() const
{
    const std::string text = PortsComboBox->currentText().mid(3, 255).toStdString();
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        value > 0xFFFF) {
        throw EConvertError("'" + text + "' is not a port number");
    }
    return static_cast<std::uint16_t>(value);
}

bool TComSelectForm::IsPortAvailable(std::uint16_t portNumber)
{
    if (portNumber == 0) {
        return false;
    }
    // Only opened and closed: no line settings, locks or exclusivity, so
    // that looking changes nothing on a port another program has.
    if (platform::SerialDevice::Probe("\\\\.\\COM" + std::to_string(portNumber))) {
        return true;
    }
    // It exists, but another program holds it, or this user may not open it:
    // offering it lets the open report why.
    const std::uint32_t error = platform::GetLastError();
    return error == platform::ErrorAccessDenied || error == platform::ErrorPermissionDenied;
}

void TComSelectForm::reject()
{
    done(ModalResultCancel);
}

void InstallComSelectForm()
{
    SetComSelectDialog([](std::uint16_t& selected) {
        TComSelectForm form;
        const int result = form.exec();
        if (result == ModalResultOk) {
            selected = form.SelectedComNumber();
        }
        return result;
    });
}
