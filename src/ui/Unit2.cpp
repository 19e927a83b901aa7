#include "ui/Unit2.h"

#include "ui/AppError.h"
#include "ui/FormStyle.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>

#include <utility>

namespace {

const QRect Bounds(328, 259, 324, 105);

// A drop-down list with a free text field: typing adds no item and
// completes nothing.
QComboBox* MakeBox(QWidget* parent, const char* name, const QStringList& items,
                   const QString& initialText, const QRect& geometry)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setCompleter(nullptr);
    box->addItems(items);
    box->setCurrentIndex(-1);
    box->setEditText(initialText);
    box->lineEdit()->home(false);
    box->setGeometry(geometry);
    // Leaving the field would otherwise choose the item whose text was typed.
    QObject::disconnect(box->lineEdit(), &QLineEdit::editingFinished, box, nullptr);
    return box;
}

} // namespace

TForm2::TForm2(std::function<void(int)> setComNumber, QWidget* parent)
    : QDialog(parent), setComNumber(std::move(setComNumber))
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Настройка"));
    setFont(WindowFont(DefaultFontPixels));

    Label1 = new QLabel(QStringLiteral("Порт"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(WindowFont(LargeLabelFontPixels));
    Label1->setGeometry(40, 24, 33, 16);

    ComboBox1 = MakeBox(this, "ComboBox1",
                        {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                         QStringLiteral("COM4")},
                        QStringLiteral("ComboBox1"), QRect(96, 24, 73, 21));
    ComboBox2 = MakeBox(this, "ComboBox2", {QStringLiteral("4800"), QStringLiteral("9600")},
                        QStringLiteral("ComboBox2"), QRect(184, 24, 73, 21));
    setTabOrder(ComboBox1, ComboBox2);

    ForgetChoiceWhileTyping(ComboBox1);
    ForgetChoiceWhileTyping(ComboBox2);
    // Programmatic selections go through LoadPortSettings with the signals
    // blocked, so this fires for the operator's choices and typing only.
    connect(ComboBox1, &QComboBox::currentIndexChanged, this,
            [this] { Guarded([this] { ComboBox1Change(ComboBox1); }); });
    connect(ComboBox1->lineEdit(), &QLineEdit::textEdited, this,
            [this] { Guarded([this] { ComboBox1Change(ComboBox1); }); });

    PlaceWindow(*this, Bounds);
}

void TForm2::ForgetChoiceWhileTyping(QComboBox* box)
{
    // Text typed into the field belongs to no item: the choice is dropped,
    // the typed text and the caret stay.
    QLineEdit* edit = box->lineEdit();
    connect(edit, &QLineEdit::textEdited, box, [box, edit] {
        if (box->currentIndex() < 0) {
            return;
        }
        const QString text = edit->text();
        const int caret = edit->cursorPosition();
        const QSignalBlocker blocker(box);
        box->setCurrentIndex(-1);
        edit->setText(text);
        edit->setCursorPosition(caret);
    });
}

void TForm2::LoadPortSettings(int comNumber, int baud)
{
    const QSignalBlocker portBlocker(ComboBox1);
    const QSignalBlocker speedBlocker(ComboBox2);
    const int port = comNumber - 1;
    ComboBox1->setCurrentIndex(port >= 0 && port < ComboBox1->count() ? port : -1);
    ComboBox2->setCurrentIndex(baud == 9600 ? 1 : 0);
}

void TForm2::ShowModal()
{
    exec();
}

void TForm2::ComboBox1Change(QObject*)
{
    if (setComNumber) {
        setComNumber(ComboBox1->currentIndex() + 1);
    }
}
