#include "Exchange.h"

namespace velqorin::monitor {

TExchange& exchanges() {
    static TExchange exchange;
    return exchange;
}

TInputHold::TInputHold(const std::vector<QWidget*>& widgets) {
    held_.reserve(widgets.size());
    for (QWidget* widget : widgets) {
        if (widget == nullptr) continue;
        // Its own setting, not what a disabled parent makes of it.
        held_.emplace_back(widget, !widget->testAttribute(Qt::WA_ForceDisabled));
        widget->setEnabled(false);
    }
}

TInputHold::~TInputHold() {
    for (auto& [widget, enabled] : held_)
        if (widget != nullptr) widget->setEnabled(enabled);
}

}  // namespace velqorin::monitor
