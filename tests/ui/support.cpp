#include "support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>

#include <algorithm>

SeenBox CloseMessageBoxDuring(const std::function<void()>& action)
{
    SeenBox seen;
    // The box runs its own event loop, in which this timer keeps looking.
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        watcher.stop();
        seen.shown = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.frame = box->frameGeometry();
        for (QAbstractButton* button : box->buttons()) {
            seen.buttons << button->text();
        }
        box->buttons().front()->click();
    });
    watcher.start();
    action();
    watcher.stop();
    return seen;
}

bool ShowActive(QWidget& window)
{
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

bool CaptionFits(const QWidget* widget)
{
    if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.rect = button->rect();
        option.text = button->text();
        option.icon = button->icon();
        option.iconSize = button->iconSize();
        const QRect contents =
            button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const QFontMetrics metrics = button->fontMetrics();
        int need = metrics.horizontalAdvance(button->text());
        if (!button->icon().isNull()) {
            need += button->iconSize().width() + (button->text().isEmpty() ? 0 : 4);
        }
        const int height =
            std::max(metrics.height(), button->icon().isNull() ? 0 : button->iconSize().height());
        return need <= contents.width() && height <= contents.height();
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        const QFontMetrics metrics = label->fontMetrics();
        const QRect contents = label->contentsRect();
        return metrics.horizontalAdvance(label->text()) <= contents.width() &&
               metrics.height() <= contents.height();
    }
    // Radio buttons: indicator, spacing and text as the style sizes them.
    return widget->sizeHint().width() <= widget->width() &&
           widget->fontMetrics().height() <= widget->height();
}

QWidget* NextTabStop(QWidget* widget)
{
    QWidget* next = widget->nextInFocusChain();
    while (next != widget && (next->focusPolicy() & Qt::TabFocus) == 0) {
        next = next->nextInFocusChain();
    }
    return next;
}
