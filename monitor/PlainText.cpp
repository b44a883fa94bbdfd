#include "PlainText.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QToolTip>

namespace velqorin::monitor {

namespace {

// Sees each tooltip before the widget does and shows it itself, through literalRichText.
class PlainToolTips : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType()) return false;
        auto* widget = static_cast<QWidget*>(watched);
        const auto* help = static_cast<QHelpEvent*>(event);
        QString text;
        QRect area;
        if (auto* view = qobject_cast<QAbstractItemView*>(widget->parentWidget());
            view != nullptr && view->viewport() == widget) {
            const QModelIndex index = view->indexAt(help->pos());
            if (!index.isValid()) return false;  // the view's own handling: nothing to show
            text = index.data(Qt::ToolTipRole).toString();
            area = view->visualRect(index);
        } else {
            text = widget->toolTip();
        }
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
            return true;
        }
        QToolTip::showText(help->globalPos(), literalRichText(text), widget, area);
        return true;
    }
};

}  // namespace

QString literalRichText(const QString& text) {
    // Qt reads a tooltip as rich text whenever it looks like some; this one always does,
    // and says nothing but `text`, tabs and all (convertFromPlainText expands them).
    QString escaped = text.toHtmlEscaped();
    escaped.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    return QLatin1String("<p style='white-space:pre'>") + escaped + QLatin1String("</p>");
}

void showToolTipsAsPlainText() {
    static PlainToolTips* filter = nullptr;
    if (filter != nullptr) return;
    filter = new PlainToolTips(qApp);
    qApp->installEventFilter(filter);
}

void showAsPlainText(QLabel* label) { label->setTextFormat(Qt::PlainText); }

void showAsPlainText(QMessageBox& box) { box.setTextFormat(Qt::PlainText); }

void showLabelsAsPlainText(QWidget* form) {
    if (auto* label = qobject_cast<QLabel*>(form)) showAsPlainText(label);
    for (QLabel* label : form->findChildren<QLabel*>()) showAsPlainText(label);
}

}  // namespace velqorin::monitor
