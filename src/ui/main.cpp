// velmor: reads the meter on COM1 through the main window.
#include "AppError.h"
#include "Unit1_.h"
#include "Unit2.h"
#include "option2.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The three windows, in this order, for the whole run.
    auto form1 = std::make_unique<TForm1>();
    form1->setObjectName(QStringLiteral("Form1"));
    auto option = std::make_unique<Toption>();
    TForm1* main = form1.get();
    auto form2 = std::make_unique<TForm2>([main](int number) {
        if (TFormEngine* engine = main->RealEngine()) {
            Guarded([&] { engine->ComPort.SetComNumber(static_cast<std::uint16_t>(number)); });
        }
    });
    form1->SetOptionWindow(option.get());
    form1->SetPortDialog(form2.get());
    form1->show();
    const int result = QApplication::exec();
    // The main window goes first: its destructor joins the worker.
    form1.reset();
    form2.reset();
    option.reset();
    return result;
}
