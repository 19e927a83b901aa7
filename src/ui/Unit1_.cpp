#include "ui/Unit1_.h"

#include "ui/AppError.h"
#include "ui/Engine.h"
#include "ui/FormStyle.h"
#include "ui/Glyphs.h"
#include "ui/TrendData.h"
#include "ui/TrendWindow.h"
#include "ui/Unit2.h"

#include "link/Mes.h"
#include "protocol/captions.h"
#include "protocol/float.h"
#include "record/RecordFile.h"

#include <QAction>
#include <QEvent>
#include <QFocusEvent>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <qdrawutil.h>

#include <algorithm>
#include <optional>

namespace {

// The pause between a reply and the next request.
constexpr int PauseMs = 100;

// Stored outer bounds of the window.
const QRect Bounds(122, 138, 516, 273);

// The stored character height of the large digits.
constexpr int StoredDisplayPixels = 64;

// The widest texts the two boxes get for readings within the ranges: a sign,
// six digits and the point (current and power with the Velmor model; the
// digits of these faces share one width), and the widest unit letter.
const char* const WidestReading = "-29.9970";
const char* const WidestUnit = "W";

// Group boxes as the operator knows them: the caption sits on the frame line
// rather than above it, so the range labels 16 px down stay clear of it.
const char* const GroupBoxStyle =
    "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
    " left: 6px; padding: 0 2px; background-color: palette(window); }";

constexpr int RangeLabelHeight = 13;

// The first option carries the first mode code and range index.
template <std::size_t N>
std::optional<std::uint8_t> CheckedIndex(const std::array<QRadioButton*, N>& group)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (group[i]->isChecked()) {
            return static_cast<std::uint8_t>(i);
        }
    }
    return std::nullopt;
}

QRadioButton* MakeRadio(QWidget* parent, const char* name, const QString& caption,
                        const QRect& geometry)
{
    auto* button = new QRadioButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    return button;
}

// Range labels size themselves to their caption, like the stored layout's.
void SetRangeCaption(QLabel* label, const QString& caption)
{
    label->setText(caption);
    label->resize(label->sizeHint().width(), RangeLabelHeight);
}

QLabel* MakeRangeLabel(QWidget* parent, const QString& name, const char* caption, int left)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->move(left, 16);
    SetRangeCaption(label, QString::fromUtf8(caption));
    return label;
}

QPushButton* MakeGlyphButton(QWidget* parent, const char* name, const QString& caption, Glyph glyph,
                             const QRect& geometry)
{
    auto* button = new QPushButton(GlyphIcon(glyph), caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setIconSize(QSize(GlyphSize, GlyphSize));
    button->setGeometry(geometry);
    // Return and Enter press the button that has the focus, like Space.
    button->setAutoDefault(true);
    return button;
}

// The value and unit boxes as the stored layout draws them: a 2 px sunken
// border with the text right inside it. QLineEdit keeps 2 px free on either
// side of its contents; without a frame of its own, that is where the
// border goes, and the text has all the rest.
class TDisplayEdit : public QLineEdit {
public:
    static constexpr int Border = 2;

    explicit TDisplayEdit(QWidget* parent) : QLineEdit(parent)
    {
        setFrame(false);
        setTextMargins(0, Border, 0, Border);
    }

    // Whether text in font is shown whole; QLineEdit scrolls a text once its
    // width and the cursor's pixel exceed the room.
    bool Shows(const QFont& font, const char* text) const
    {
        const QFontMetricsF metrics(font);
        return qRound(metrics.horizontalAdvance(QString::fromLatin1(text))) + 1 <=
                   width() - 2 * Border &&
               metrics.height() <= height() - 2 * Border;
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        QLineEdit::paintEvent(event);
        QPainter painter(this);
        qDrawWinPanel(&painter, rect(), palette(), true);
    }
};

TDisplayEdit* MakeDisplay(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* edit = new TDisplayEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(geometry);
    return edit;
}

// The stored size, or the largest below it at which the widest reading and
// unit fit their boxes in the face that stands in for the stored one.
QFont FittedDisplayFont(const TDisplayEdit& value, const TDisplayEdit& unit)
{
    QFont font = DisplayFont(StoredDisplayPixels);
    while (font.pixelSize() > 1 &&
           !(value.Shows(font, WidestReading) && unit.Shows(font, WidestUnit))) {
        font.setPixelSize(font.pixelSize() - 1);
    }
    return font;
}

} // namespace

TFormEngine::TFormEngine() : exchange(ComPort, interval, timeout)
{
    // Settings applied the way stored ones are: through the loading phase.
    ComPort.SetLoading(true);
    ComPort.SetComNumber(1);
    ComPort.SetBaud(9600);
    ComPort.Loaded();
    interval.setInterval(PauseMs);
    timeout.setInterval(500);
    // The pause of the cycle is never cut short by a coarse timer.
    interval.setTimerType(Qt::PreciseTimer);
    timeout.setTimerType(Qt::PreciseTimer);
}

void TFormEngine::StartInterval()
{
    if (!interval.isActive()) {
        // Counted from the reply, not from its taking and showing here.
        interval.start(exchange.PauseLeft(std::chrono::milliseconds(PauseMs)));
    }
}

void TFormEngine::Attach(TForm1& form)
{
    QObject::connect(&interval, &QTimer::timeout, &form,
                     [&form] { Guarded([&form] { form.intervalTimer(&form); }); });
    QObject::connect(&timeout, &QTimer::timeout, &form,
                     [&form] { Guarded([&form] { form.timeoutTimer(&form); }); });
    ComPort.SetOnTrigger(
        [&form](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t handle,
                std::uint16_t data) { form.ComPortTrigger(cp, msg, handle, data); });
    exchange.SetApplyReply([&form](const ReplyDecision& decision) { form.ApplyReply(decision); });
    exchange.SetMeasured([&form](const TMeasurement& m) { form.MeasurementTaken(m); });
    exchange.SetFailure([](const std::exception& error) { ShowApplicationError(error.what()); });
    // The worker's messages: non-modal, so the window stays usable.
    exchange.SetErrorBox([&form](const std::string& text, std::function<void()> closed) {
        auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Ошибка"),
                                    QString::fromStdString(text), QMessageBox::Ok, &form);
        box->setObjectName(QStringLiteral("ErrorBox"));
        box->setWindowModality(Qt::NonModal);
        box->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(box, &QMessageBox::finished, box, [closed] { closed(); });
        box->show();
    });
}

void TFormEngine::Detach()
{
    exchange.Shutdown();
    ComPort.SetOnTrigger(nullptr);
}

TForm1::TForm1(QWidget* parent) : TForm1(std::make_unique<TFormEngine>(), parent) {}

TForm1::TForm1(std::unique_ptr<TEngine> own, QWidget* parent)
    : QMainWindow(parent), engine(std::move(own)), trendData(std::make_unique<TTrendData>()),
      recordFile(std::make_unique<record::TRecordFile>())
{
    Build();
    engine->Attach(*this);
}

TForm1::~TForm1()
{
    engine->Detach();
}

void TForm1::N3Click(QObject*)
{
    if (portDialog == nullptr) {
        return;
    }
    portDialog->LoadPortSettings(engine->ComNumber(), engine->Baud());
    portDialog->ShowModal();
}

void TForm1::FormActivate(QObject*)
{
    engine->Start();
}

void TForm1::intervalTimer(QObject*)
{
    engine->IntervalTick();
}

void TForm1::timeoutTimer(QObject*)
{
    engine->TimeoutTick();
}

void TForm1::ComPortTrigger(TSerCustomComPort*, std::uint16_t, std::uint16_t, std::uint16_t)
{
    engine->PortTrigger();
}

void TForm1::Build()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Velmor"));
    setFont(WindowFont(DefaultFontPixels));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    BuildControls(client);
    // A style sheet drops the fonts its widgets inherit, so each control gets
    // the window font of its own before the group boxes get their sheet.
    for (QWidget* control : client->findChildren<QWidget*>()) {
        if (control != Edit1 && control != Edit2) {
            control->setFont(WindowFont(DefaultFontPixels));
        }
    }
    for (QGroupBox* group : {GroupBox1, GroupBox2, GroupBox3}) {
        group->setStyleSheet(QString::fromLatin1(GroupBoxStyle));
    }
    BuildMenu();
    BindHandlers();

    PlaceWindow(*this, Bounds);
    // The first control in tab order takes the focus when the window shows.
    BitLoad->setFocus();
}

void TForm1::BuildControls(QWidget* client)
{
    BuildReadout(client);
    BuildModeGroup(client);
    BuildVoltageGroup(client);
    BuildCurrentGroup(client);
    BitBtnStop = MakeGlyphButton(client, "BitBtnStop", QStringLiteral("Стоп"), Glyph::Stop,
                                 QRect(288, 176, 65, 25));
    OrderTabs();
}

void TForm1::BuildReadout(QWidget* client)
{
    BitLoad = MakeGlyphButton(client, "BitLoad", QStringLiteral("Чтение показаний"),
                              Glyph::OpenFolder, QRect(136, 176, 137, 25));
    BitSave =
        MakeGlyphButton(client, "BitSave", QString(), Glyph::FloppyDisk, QRect(16, 144, 25, 25));
    BitSave->setVisible(false);

    auto* value = MakeDisplay(client, "Edit1", QRect(56, 8, 217, 81));
    auto* unit = MakeDisplay(client, "Edit2", QRect(280, 8, 65, 81));
    const QFont digits = FittedDisplayFont(*value, *unit);
    value->setFont(digits);
    unit->setFont(digits);
    Edit1 = value;
    Edit2 = unit;
}

void TForm1::BuildModeGroup(QWidget* client)
{
    GroupBox1 = new QGroupBox(QStringLiteral("Режим"), client);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(360, 0, 105, 89);
    RadioU = MakeRadio(GroupBox1, "RadioU", QStringLiteral("Напряжение"), QRect(8, 16, 89, 17));
    RadioI = MakeRadio(GroupBox1, "RadioI", QStringLiteral("Ток"), QRect(8, 40, 81, 17));
    RadioP = MakeRadio(GroupBox1, "RadioP", QStringLiteral("Мощность"), QRect(8, 64, 81, 17));
}

void TForm1::BuildVoltageGroup(QWidget* client)
{
    GroupBox2 = new QGroupBox(QStringLiteral("Предел по напряжению"), client);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(56, 104, 241, 57);
    constexpr std::array<int, 7> voltageLeft = {16, 40, 72, 104, 136, 168, 200};
    constexpr std::array<int, 7> voltageLabelLeft = {8, 40, 72, 104, 136, 168, 200};
    for (std::size_t i = 0; i < VoltageButtons.size(); ++i) {
        const int n = static_cast<int>(i);
        VoltageLabels[i] = MakeRangeLabel(GroupBox2, QStringLiteral("Label%1").arg(n + 1),
                                          VoltageCaptions[i], voltageLabelLeft[i]);
        const QString name = QStringLiteral("RadioButton%1").arg(n + 4);
        VoltageButtons[i] = MakeRadio(GroupBox2, name.toLatin1().constData(), QString(),
                                      QRect(voltageLeft[i], 32, 17, 17));
    }
}

void TForm1::BuildCurrentGroup(QWidget* client)
{
    GroupBox3 = new QGroupBox(QStringLiteral("Предел по току"), client);
    GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
    GroupBox3->setGeometry(320, 104, 145, 57);
    constexpr std::array<int, 4> currentLeft = {16, 48, 80, 112};
    for (std::size_t i = 0; i < CurrentButtons.size(); ++i) {
        const int n = static_cast<int>(i);
        CurrentLabels[i] = MakeRangeLabel(GroupBox3, QStringLiteral("Label%1").arg(n + 8),
                                          DranikCaptions[i], currentLeft[i]);
        const QString name = QStringLiteral("RadioButton%1").arg(n + 11);
        CurrentButtons[i] = MakeRadio(GroupBox3, name.toLatin1().constData(), QString(),
                                      QRect(currentLeft[i], 32, 17, 17));
    }
}

void TForm1::OrderTabs()
{
    // Tab order of the stored layout; inside a group Qt lets Tab reach the
    // checked button only, and the arrow keys move within the group.
    QList<QWidget*> order = {BitLoad, BitSave, Edit1, Edit2, RadioU, RadioI, RadioP};
    order.append(QList<QWidget*>(VoltageButtons.begin(), VoltageButtons.end()));
    order.append(QList<QWidget*>(CurrentButtons.begin(), CurrentButtons.end()));
    order.append(BitBtnStop);
    for (qsizetype i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
}

void TForm1::BuildMenu()
{
    MainMenu = menuBar();
    MainMenu->setObjectName(QStringLiteral("MainMenu"));

    N2 = AddMenu("N2", QStringLiteral("Помощь"));
    // Shows the version; choosing it does nothing.
    Version1101 = AddItem(N2, "Version1101", QStringLiteral("Version 1.10"));

    D1 = AddMenu("D1", QStringLiteral("Выбор прибора"));
    Velmor1 = AddItem(D1, "Velmor1", QStringLiteral("Velmor/1"));
    Dranik2 = AddItem(D1, "Dranik2", QStringLiteral("Dranik/2"));

    N1 = AddMenu("N1", QStringLiteral("Настройка"));
    N3 = AddItem(N1, "N3", QStringLiteral("Порт"));
    ghfg1 = AddItem(N1, "ghfg1", QStringLiteral("Прибор"));

    BuildViewMenu();
}

QMenu* TForm1::AddMenu(const char* name, const QString& caption)
{
    QMenu* menu = MainMenu->addMenu(caption);
    menu->setObjectName(QString::fromLatin1(name));
    return menu;
}

QAction* TForm1::AddItem(QMenu* menu, const char* name, const QString& caption)
{
    QAction* item = menu->addAction(caption);
    item->setObjectName(QString::fromLatin1(name));
    return item;
}

void TForm1::BindHandlers()
{
    // Every handler runs guarded: a failure it raises goes to the
    // application's error display, never through Qt's event loop.
    auto onClick = [this](QPushButton* button, void (TForm1::*handler)(QObject*)) {
        connect(button, &QPushButton::clicked, this,
                [this, button, handler] { Guarded([&] { (this->*handler)(button); }); });
    };
    onClick(BitLoad, &TForm1::BitLoadClick);
    onClick(BitSave, &TForm1::BitSaveClick);
    onClick(BitBtnStop, &TForm1::BitBtnStopClick);

    // toggled(true) comes exactly when a button goes from unchecked to
    // checked, from a click, the keyboard or setChecked alike; the button it
    // replaces has been cleared by then.
    auto onChecked = [this](QRadioButton* button, void (TForm1::*handler)(QObject*)) {
        connect(button, &QRadioButton::toggled, this, [this, button, handler](bool checked) {
            if (checked) {
                Guarded([&] { (this->*handler)(button); });
            }
        });
    };
    for (QRadioButton* button : ModeButtons()) {
        onChecked(button, &TForm1::RadioPClick);
        button->installEventFilter(this);
    }
    for (QRadioButton* button : VoltageButtons) {
        onChecked(button, &TForm1::RadioButton4Click);
        button->installEventFilter(this);
    }
    for (QRadioButton* button : CurrentButtons) {
        onChecked(button, &TForm1::RadioButton11Click);
    }

    auto onMenu = [this](QAction* action, void (TForm1::*handler)(QObject*)) {
        connect(action, &QAction::triggered, this,
                [this, action, handler] { Guarded([&] { (this->*handler)(action); }); });
    };
    onMenu(Velmor1, &TForm1::Velmor1Click);
    onMenu(Dranik2, &TForm1::Dranik2Click);
    onMenu(N3, &TForm1::N3Click);
    onMenu(ghfg1, &TForm1::ghfg1Click);
    onMenu(N5, &TForm1::N5Click);
    onMenu(N6, &TForm1::N6Click);
}

bool TForm1::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate) {
        Guarded([this] { FormActivate(this); });
    }
    return QMainWindow::event(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn) {
        // Focus that merely comes back with the window (after a message box
        // or another program) or after a menu is not the operator moving
        // onto the button.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
            reason != Qt::MenuBarFocusReason) {
            Guarded([&] { RadioButton9Enter(watched); });
        }
    } else if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Left || key == Qt::Key_Up) {
            return MoveWithinGroup(watched, -1);
        }
        if (key == Qt::Key_Right || key == Qt::Key_Down) {
            return MoveWithinGroup(watched, +1);
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TForm1::MoveWithinGroup(QObject* from, int step)
{
    // Qt checks the next button before moving the focus onto it; the operator
    // expects the focus first, so that the change counts as the operator's
    // and is consumed by it, as with a mouse click.
    auto move = [&](auto& group) {
        const auto it = std::find(group.begin(), group.end(), from);
        if (it == group.end()) {
            return false;
        }
        const auto n = static_cast<std::ptrdiff_t>(group.size());
        const auto next = ((it - group.begin()) + step + n) % n;
        QRadioButton* target = group[static_cast<std::size_t>(next)];
        target->setFocus(Qt::TabFocusReason);
        target->click();
        return true;
    };
    auto modes = ModeButtons();
    return move(modes) || move(VoltageButtons);
}

void TForm1::BitLoadClick(QObject*)
{
    engine->SetPollState(TExchange::PollVoltageRange);
    engine->SendRequest(Command::ReadMeasurement);
}

void TForm1::BitSaveClick(QObject*)
{
    // Sends whatever parameter the last setting command left in place.
    engine->SendRequest(Command::SetMode);
}

void TForm1::BitBtnStopClick(QObject*)
{
    engine->StopReading();
}

void TForm1::RadioPClick(QObject*)
{
    if (engine->PollState() == TExchange::PollMeasuring) {
        engine->StopPolling();
    }
    if (operatorFocus) {
        static constexpr std::array<const char*, 3> units = {"V", "A", "W"};
        if (const auto index = CheckedIndex(ModeButtons())) {
            Edit2->setText(QString::fromLatin1(units[*index]));
            Edit1->clear();
            engine->SetRequestParameter(static_cast<std::uint8_t>(*index + ModeVoltage));
            engine->SendRequest(Command::SetMode);
        }
    }
    operatorFocus = false;
}

void TForm1::RadioButton4Click(QObject*)
{
    if (engine->PollState() == TExchange::PollMeasuring) {
        engine->StopPolling();
    }
    const auto index = CheckedIndex(VoltageButtons);
    if (operatorFocus && index) {
        engine->SetRequestParameter(*index);
        engine->SendRequest(Command::SetVoltageRange);
    }
    operatorFocus = false;
}

void TForm1::RadioButton11Click(QObject*)
{
    if (engine->PollState() == TExchange::PollMeasuring) {
        engine->StopPolling();
    }
    // No focus gate here: every change of the current range is sent, also
    // one that a reply made.
    if (const auto index = CheckedIndex(CurrentButtons)) {
        engine->SetRequestParameter(*index);
        engine->SendRequest(Command::SetCurrentRange);
    }
}

void TForm1::RadioButton9Enter(QObject*)
{
    operatorFocus = true;
}

void TForm1::SetCurrentCaptions(const std::array<const char*, 4>& captions)
{
    for (std::size_t i = 0; i < CurrentLabels.size(); ++i) {
        SetRangeCaption(CurrentLabels[i], QString::fromLatin1(captions[i]));
    }
}

void TForm1::Velmor1Click(QObject*)
{
    SetCurrentCaptions(VelmorCaptions);
    engine->SetModelIndex(ModelVelmor);
}

void TForm1::Dranik2Click(QObject*)
{
    SetCurrentCaptions(DranikCaptions);
    engine->SetModelIndex(ModelDranik);
}

void TForm1::ghfg1Click(QObject*)
{
    if (optionWindow != nullptr) {
        optionWindow->setVisible(true);
    }
}

void TForm1::ApplyReply(const ReplyDecision& decision)
{
    if (decision.mode && *decision.mode >= ModeVoltage && *decision.mode <= ModePower) {
        ModeButtons()[*decision.mode - ModeVoltage]->setChecked(true);
    }
    if (!decision.unit.empty()) {
        Edit2->setText(QString::fromLatin1(decision.unit.data(),
                                           static_cast<qsizetype>(decision.unit.size())));
    }
    if (decision.voltageRange && *decision.voltageRange < VoltageButtons.size()) {
        VoltageButtons[*decision.voltageRange]->setChecked(true);
    }
    if (decision.currentRange && *decision.currentRange < CurrentButtons.size()) {
        CurrentButtons[*decision.currentRange]->setChecked(true);
    }
    if (decision.valueText) {
        Edit1->setText(QString::fromStdString(*decision.valueText));
        // A reading too wide for the box (far outside its range) keeps its
        // sign and leading digits in view rather than its last decimals.
        Edit1->home(false);
    }
    if (decision.startInterval) {
        engine->StartInterval();
    }
    if (decision.measuring) {
        engine->SetPollState(TExchange::PollMeasuring);
    }
}
