#include "TphIPAddress.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStyleOptionFrame>

TphIPAddress::TphIPAddress(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_StyledBackground);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(3, 2, 3, 2);
    layout->setSpacing(0);
    for (int i = 0; i < 4; ++i) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("octet%1").arg(i));
        edit->setFrame(false);
        edit->setAlignment(Qt::AlignCenter);
        edit->setMaxLength(3);
        edit->setValidator(new QIntValidator(0, 999, edit));
        edit->setText(QStringLiteral("0"));
        edit->installEventFilter(this);
        fields_[static_cast<std::size_t>(i)] = edit;
        layout->addWidget(edit, 1);
        connect(edit, &QLineEdit::textEdited, this, [this, i] { fieldEdited(i); });
        if (i < 3) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setBackgroundRole(QPalette::Base);
            layout->addWidget(dot);
        }
    }
    setFocusProxy(fields_[0]);
}

TphIPAddress::Octets TphIPAddress::address() const {
    Octets octets{};
    for (int i = 0; i < 4; ++i) octets[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(octet(i));
    return octets;
}

void TphIPAddress::setAddress(const Octets& octets) { setAddress(octets.data()); }

void TphIPAddress::setAddress(const std::uint8_t* octets) {
    const Octets before = address();
    settingAll_ = true;
    for (int i = 0; i < 4; ++i) field(i)->setText(QString::number(octets[i]));
    settingAll_ = false;
    if (before != address()) emit valueChanged();
}

int TphIPAddress::octet(int index) const {
    const int value = field(index)->text().toInt();
    return value > 255 ? 255 : value;
}

void TphIPAddress::setOctet(int index, int value) {
    if (index < 0 || index > 3) return;
    const int before = octet(index);
    field(index)->setText(QString::number(qBound(0, value, 255)));
    if (before != octet(index)) emit valueChanged();
}

void TphIPAddress::fieldEdited(int index) {
    QLineEdit* edit = field(index);
    QString text = edit->text();
    if (text.toInt() > 255) edit->setText(QStringLiteral("255"));
    if (edit->text().size() == 3 && index < 3) {
        field(index + 1)->setFocus();
        field(index + 1)->selectAll();
    }
    if (settingAll_) return;
    emit fieldChanged(index);
    emit valueChanged();
}

bool TphIPAddress::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        for (int i = 0; i < 4; ++i) {
            if (watched != field(i)) continue;
            const auto* key = static_cast<QKeyEvent*>(event);
            if ((key->key() == Qt::Key_Period || key->key() == Qt::Key_Space) && i < 3) {
                field(i + 1)->setFocus();
                field(i + 1)->selectAll();
                return true;
            }
            if (key->key() == Qt::Key_Backspace && i > 0 && field(i)->cursorPosition() == 0 &&
                !field(i)->hasSelectedText()) {
                field(i - 1)->setFocus();
                field(i - 1)->end(false);
                return true;
            }
        }
    } else if (event->type() == QEvent::FocusOut) {
        // An emptied field means 0, as the octet it stands for.
        for (QLineEdit* edit : fields_)
            if (watched == edit && edit->text().isEmpty()) edit->setText(QStringLiteral("0"));
    }
    return QWidget::eventFilter(watched, event);
}

void TphIPAddress::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    QPainter painter(this);
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, this);
    frame.midLineWidth = 0;
    frame.state |= QStyle::State_Sunken;
    style()->drawPrimitive(QStyle::PE_FrameLineEdit, &frame, &painter, this);
}
