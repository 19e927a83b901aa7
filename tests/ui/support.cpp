#include "support.h"

#include "ui/AppServices.h"
#include "ui/FormStyle.h"
#include "ui/PageControl.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QStyleOptionGroupBox>
#include <QStyleOptionTab>
#include <QTabBar>
#include <QTimer>
#include <QWidget>
#include <QtTest/QTest>

#include <algorithm>

SeenBox CloseMessageBoxDuring(const std::function<void()>& action,
                              const std::function<void(QMessageBox&)>& look)
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
        if (look) {
            look(*box);
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

QSize TextRoom(const QLineEdit* edit)
{
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.rect = edit->rect();
    option.lineWidth = edit->hasFrame()
                           ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                           : 0;
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    const QRect contents =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
    return contents.marginsRemoved(edit->textMargins()).size() - QSize(4, 0);
}

namespace {

// The text a widget shows as its caption; empty for none.
QString Caption(const QWidget* widget)
{
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        return button->text();
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        return label->text();
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        return edit->text();
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(widget)) {
        return group->title();
    }
    if (const auto* box = qobject_cast<const QComboBox*>(widget)) {
        return box->isEditable() ? QString() : box->currentText();
    }
    if (const auto* tabs = qobject_cast<const QTabBar*>(widget)) {
        QStringList captions;
        for (int i = 0; i < tabs->count(); ++i) {
            captions << tabs->tabText(i);
        }
        return captions.join(QLatin1Char(' '));
    }
    return {};
}

bool ButtonFits(const QPushButton* button)
{
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

bool LabelFits(const QLabel* label)
{
    const QFontMetrics metrics = label->fontMetrics();
    const QRect contents = label->contentsRect();
    if (label->wordWrap()) {
        const QRect need = metrics.boundingRect(
            contents, static_cast<int>(label->alignment()) | Qt::TextWordWrap, label->text());
        return need.width() <= contents.width() && need.height() <= contents.height();
    }
    return metrics.horizontalAdvance(label->text()) <= contents.width() &&
           metrics.height() <= contents.height();
}

bool EditFits(const QLineEdit* edit)
{
    // QLineEdit scrolls a text once its width and the cursor's pixel exceed
    // the room.
    const QFontMetricsF metrics(edit->font());
    const QSize room = TextRoom(edit);
    return qRound(metrics.horizontalAdvance(edit->text())) + 1 <= room.width() &&
           metrics.height() <= room.height();
}

bool GroupTitleFits(const QGroupBox* group)
{
    QStyleOptionGroupBox option;
    option.initFrom(group);
    option.text = group->title();
    option.textAlignment = group->alignment();
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect title = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                       QStyle::SC_GroupBoxLabel, group);
    return group->fontMetrics().horizontalAdvance(group->title()) <= title.width() &&
           title.left() >= 0 && title.right() < group->width();
}

bool ListEntryFits(const QComboBox* box)
{
    QStyleOptionComboBox option;
    option.initFrom(box);
    option.editable = false;
    option.currentText = box->currentText();
    const QRect field = box->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                     QStyle::SC_ComboBoxEditField, box);
    return box->fontMetrics().horizontalAdvance(box->currentText()) <= field.width();
}

bool TabsFit(const QTabBar* tabs)
{
    const auto* rows = qobject_cast<const TMultiRowTabBar*>(tabs);
    for (int i = 0; i < tabs->count(); ++i) {
        QStyleOptionTab option;
        option.initFrom(tabs);
        option.rect = rows != nullptr ? rows->TabRect(i) : tabs->tabRect(i);
        option.text = tabs->tabText(i);
        option.shape = tabs->shape();
        const QRect text = tabs->style()->subElementRect(QStyle::SE_TabBarTabText, &option, tabs);
        if (tabs->fontMetrics().horizontalAdvance(option.text) > text.width() ||
            option.rect.right() >= tabs->width()) {
            return false;
        }
    }
    return true;
}

} // namespace

bool CaptionFits(const QWidget* widget)
{
    if (Caption(widget).isEmpty()) {
        return true;
    }
    if (const auto* button = qobject_cast<const QPushButton*>(widget)) {
        return ButtonFits(button);
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        return LabelFits(label);
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        return EditFits(edit);
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(widget)) {
        return GroupTitleFits(group);
    }
    if (const auto* box = qobject_cast<const QComboBox*>(widget)) {
        return ListEntryFits(box);
    }
    if (const auto* tabs = qobject_cast<const QTabBar*>(widget)) {
        return TabsFit(tabs);
    }
    // Radio buttons: indicator, spacing and text as the style sizes them.
    return widget->sizeHint().width() <= widget->width() &&
           widget->fontMetrics().height() <= widget->height();
}

void ExpectCaptionsFit(const QWidget& window)
{
    const QStringList faces = {QFontInfo(WindowFont(DefaultFontPixels)).family(),
                               QFontInfo(DisplayFont(DefaultFontPixels)).family()};
    const std::string windowName =
        window.objectName().toStdString() + " (" + window.windowTitle().toStdString() + ")";
    for (const QWidget* widget : window.findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(&window) || widget->isWindow()) {
            continue;
        }
        const std::string name = windowName + " " + widget->metaObject()->className() + " " +
                                 widget->objectName().toStdString() + " \"" +
                                 Caption(widget).toStdString() + "\"";
        EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()))
            << name << " reaches out of its parent";
        if (!Caption(widget).isEmpty()) {
            EXPECT_TRUE(faces.contains(QFontInfo(widget->font()).family()))
                << name << " is in " << QFontInfo(widget->font()).family().toStdString();
            EXPECT_TRUE(CaptionFits(widget)) << name << " is clipped";
        }
    }
}

QWidget* NextTabStop(QWidget* widget)
{
    QWidget* next = widget->nextInFocusChain();
    while (next != widget && (next->focusPolicy() & Qt::TabFocus) == 0) {
        next = next->nextInFocusChain();
    }
    return next;
}

namespace {

// What the program installs at its start (faces, error display, port
// dialog), in place before the first window test: the shared test main
// knows nothing of the program.
class ProgramFaces : public testing::Environment {
    void SetUp() override { InstallApplicationServices(); }
};
[[maybe_unused]] testing::Environment* const programFaces =
    testing::AddGlobalTestEnvironment(new ProgramFaces);

} // namespace
