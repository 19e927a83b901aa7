#include "ui/option2.h"

#include "ui/AppError.h"
#include "ui/FormStyle.h"
#include "ui/PageControl.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <limits>

namespace {

const QRect Bounds(236, 225, 562, 462);
constexpr int PageControlWidth = 363;

int HexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') {
        return u - u'0';
    }
    if (u >= u'a' && u <= u'f') {
        return u - u'a' + 10;
    }
    if (u >= u'A' && u <= u'F') {
        return u - u'A' + 10;
    }
    return -1;
}

QFrame* MakePanel(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* panel = new QFrame(parent);
    panel->setObjectName(QString::fromLatin1(name));
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setGeometry(geometry);
    return panel;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, const QRect& geometry)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(WindowFont(LargeLabelFontPixels));
    label->setGeometry(geometry);
    return label;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                        const QRect& geometry)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    // Return and Enter press the button that has the focus, like Space.
    button->setAutoDefault(true);
    button->setGeometry(geometry);
    return button;
}

// A message box centred on the screen once it has taken its final size.
class TScreenCentredBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }
    }
};

} // namespace

std::optional<std::int32_t> StrToInt32(const QString& text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == QLatin1Char(' ')) {
        ++i;
    }
    bool negative = false;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    int base = 10;
    if (i < n && (text[i] == QLatin1Char('$') || text[i] == QLatin1Char('x') ||
                  text[i] == QLatin1Char('X'))) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == QLatin1Char('0') &&
               (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
        base = 16;
        i += 2;
    }
    if (i == n) {
        return std::nullopt;
    }
    // The magnitude may reach 2^31 for the most negative value.
    const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
    std::int64_t magnitude = 0;
    for (; i < n; ++i) {
        const int digit = HexDigit(text[i]);
        if (digit < 0 || digit >= base) {
            return std::nullopt;
        }
        magnitude = magnitude * base + digit;
        if (magnitude > limit) {
            return std::nullopt;
        }
    }
    return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

bool ValidateAddress(const QString& text, int& address)
{
    const auto value = StrToInt32(text);
    if (!value) {
        return false;
    }
    address = *value;
    return *value >= 0 && *value <= 65534;
}

Toption::Toption(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("option"));
    setWindowTitle(QStringLiteral("Настройки"));
    setFont(WindowFont(DefaultFontPixels));

    Panel1 = new QLabel(QStringLiteral("Panel1"), this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setGeometry(0, 0, 185, 425);

    PageControl1 = new TPageControl(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(191, 0, PageControlWidth, 428);
    const std::array<const char*, 5> captions = {"Шкала", "Сетевой адрес", "Яркость", "Скорость",
                                                 "Дополнительная информация"};
    std::array<QWidget*, 5> sheets{};
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        sheets[i] = new QWidget;
        sheets[i]->setObjectName(QStringLiteral("TabSheet%1").arg(i + 1));
        // Pages in the window's own colour, so the raised panels show.
        sheets[i]->setAutoFillBackground(true);
        PageControl1->addTab(sheets[i], QString::fromUtf8(captions[i]));
    }
    TabSheet1 = sheets[0];
    TabSheet2 = sheets[1];
    TabSheet3 = sheets[2];
    TabSheet4 = sheets[3];
    TabSheet5 = sheets[4];
    PageControl1->setCurrentWidget(TabSheet2);
    BuildAddressPage();

    setTabOrder(ed_addr, BitBtn1);
    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, BitBtn3);

    connect(BitBtn1, &QPushButton::clicked, this,
            [this] { Guarded([this] { BitBtn1Click(BitBtn1); }); });

    PlaceWindow(*this, Bounds);
}

void Toption::BuildAddressPage()
{
    Panel2 = MakePanel(TabSheet2, "Panel2", QRect(0, 48, 353, 57));
    Label1 = MakeLabel(Panel2, "Label1", QStringLiteral("Сетевой адрес:"), QRect(8, 17, 101, 16));
    ed_addr = new QLineEdit(Panel2);
    ed_addr->setObjectName(QStringLiteral("ed_addr"));
    ed_addr->setFont(WindowFont(LargeLabelFontPixels));
    ed_addr->setGeometry(120, 12, 41, 24);
    BitBtn2 = MakeButton(Panel2, "BitBtn2", QStringLiteral("Прочитать"), QRect(184, 16, 75, 25));
    BitBtn1 = MakeButton(Panel2, "BitBtn1", QStringLiteral("Записать"), QRect(272, 16, 73, 25));

    Panel3 = MakePanel(TabSheet2, "Panel3", QRect(0, 144, 353, 89));
    Label2 = MakeLabel(Panel3, "Label2", QStringLiteral("Заводской номер:"), QRect(8, 16, 118, 16));
    Label5 = MakeLabel(Panel3, "Label5", QString(), QRect(136, 16, 3, 16));
    Label3 =
        MakeLabel(Panel3, "Label3", QStringLiteral("Год изготовления:"), QRect(8, 48, 121, 16));
    Label4 = MakeLabel(Panel3, "Label4", QString(), QRect(136, 56, 3, 16));
    BitBtn3 = MakeButton(Panel3, "BitBtn3", QStringLiteral("Прочитать"), QRect(240, 32, 75, 25));
}

void Toption::resizeEvent(QResizeEvent* event)
{
    // The page control keeps to the right edge over the full height.
    PageControl1->setGeometry(width() - PageControlWidth, 0, PageControlWidth, height());
    QWidget::resizeEvent(event);
}

void Toption::BitBtn1Click(QObject*)
{
    int address = 0;
    if (ValidateAddress(ed_addr->text(), address)) {
        // A valid address is neither kept nor sent anywhere.
        return;
    }
    TScreenCentredBox box(QMessageBox::Critical, QStringLiteral("Error"),
                          QStringLiteral("Неверно задан сетевой адрес"), QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    // The box had no owner, so nothing hands the activation back by itself.
    activateWindow();
    ed_addr->setFocus();
}
