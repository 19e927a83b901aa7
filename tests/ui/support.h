#pragma once

#include <QMessageBox>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>

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
// recorded and closed, so that action can return.
SeenBox CloseMessageBoxDuring(const std::function<void()>& action);

// Shows the window and waits until it is the active one, so focus works.
bool ShowActive(QWidget& window);

// True when the widget's caption is drawn whole inside it: a push button's
// glyph and text inside the style's contents rectangle, a label's text
// inside the label.
bool CaptionFits(const QWidget* widget);

// The next widget after widget in its window's focus chain that takes focus.
QWidget* NextTabStop(QWidget* widget);
