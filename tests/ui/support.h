#pragma once

#include "ui/Unit1_.h"

#include <QApplication>
#include <QMessageBox>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <typeinfo>

class QLineEdit;
class QWidget;

// What a modal message box showed before it was closed with its first button.
struct SeenBox {
    bool shown = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QRect frame;
};

// Runs action; the first message box that becomes modal while it runs is
// recorded, handed to look (if given) and closed, so that action can return.
SeenBox CloseMessageBoxDuring(const std::function<void()>& action,
                              const std::function<void(QMessageBox&)>& look = {});

// Waits for the next modal window of type W and hands it to answer, which
// must close it (unless mustClose is false). A window that does not come, or
// does not close, fails the test and is closed, so that the test never hangs
// in a modal loop.
template <typename W> void OnNextModal(std::function<void(W&)> answer, bool mustClose = true);

// Shows the window and waits until it is the active one, so focus works.
bool ShowActive(QWidget& window);

// The real engine of a main window made with it.
inline TFormEngine& RealEngine(const TForm1& form)
{
    return dynamic_cast<TFormEngine&>(form.Engine());
}

// True when the widget's caption is drawn whole inside it: a push button's
// glyph and text inside the style's contents rectangle, a label's text
// inside the label (wrapped, if it wraps), an edit box's text without
// scrolling, a group box's title, every tab's caption, the current entry of
// a drop-down list.
bool CaptionFits(const QWidget* widget);

// Where QLineEdit lays out its text: the style's contents rectangle less the
// text margins and the 2 px it keeps free on either side.
QSize TextRoom(const QLineEdit* edit);

// Every control that window shows: each caption fits (CaptionFits) in one of
// the faces InstallFaces resolves, and each control lies inside its parent.
void ExpectCaptionsFit(const QWidget& window);

// The next widget after widget in its window's focus chain that takes focus.
QWidget* NextTabStop(QWidget* widget);

template <typename W> void OnNextModal(std::function<void(W&)> answer, bool mustClose)
{
    auto* watcher = new QTimer;
    auto waited = std::make_shared<int>(0);
    watcher->setInterval(5);
    QObject::connect(watcher, &QTimer::timeout, [watcher, waited, answer, mustClose] {
        QWidget* modal = QApplication::activeModalWidget();
        W* window = dynamic_cast<W*>(modal);
        if (window == nullptr || !window->isVisible()) {
            if (++*waited > 2000) {
                watcher->deleteLater();
                watcher->stop();
                ADD_FAILURE() << "no " << typeid(W).name() << " came up";
                if (modal != nullptr) {
                    modal->close();
                }
            }
            return;
        }
        watcher->stop();
        watcher->deleteLater();
        answer(*window);
        if (mustClose && window->isVisible()) {
            ADD_FAILURE() << typeid(W).name() << " left open";
            window->close();
        }
    });
    watcher->start();
}
