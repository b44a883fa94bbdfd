// Group boxes drawn the way the forms were laid out for: the caption sits on the frame's
// top line, so the line runs at half the caption's height and the controls placed below
// it stay clear of it.
#pragma once

#include <QProxyStyle>

class QWidget;

namespace velqorin::monitor {

class GroupFrameStyle : public QProxyStyle {
public:
    // Space between the frame's left edge and the caption.
    static constexpr int kCaptionInset = 8;

    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option,
                         SubControl part, const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override;
};

// Gives every group box of `form` the style above; the style lives as long as the application.
void applyGroupFrameStyle(QWidget* form);

}  // namespace velqorin::monitor
