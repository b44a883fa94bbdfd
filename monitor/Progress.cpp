#include "Progress.h"

#include <algorithm>

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QProgressBar>

#include "Exchange.h"

namespace velqorin::monitor {

namespace {

constexpr int kBarWidth = 80;
constexpr int kBarHeight = 12;

// A one-line text cut with an ellipsis to the width it gets.
class ElidedText : public QWidget {
public:
    explicit ElidedText(QWidget* parent) : QWidget(parent) {
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }
    void setText(const QString& text) {
        text_ = text;
        update();
    }
    QSize sizeHint() const override { return {0, fontMetrics().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text_, Qt::ElideRight, width()));
    }

private:
    QString text_;
};

TSweepWatch& watchOf(void* self) { return *static_cast<TSweepWatch*>(self); }

QString joined(const std::vector<std::string>& names) {
    QStringList list;
    for (const std::string& name : names) list << QString::fromLocal8Bit(name.c_str());
    return list.join(QStringLiteral(", "));
}

}  // namespace

TSweepWatch::TSweepWatch(const TExchange& exchange)
    : exchange_(exchange),
      ethernet_{this, &TSweepWatch::turnedToAdapter, &TSweepWatch::listened, nullptr,
                &TSweepWatch::stopAsked, &TSweepWatch::tallied},
      dialUp_{this, &TSweepWatch::turnedToLink, nullptr, nullptr, &TSweepWatch::stopAsked, nullptr},
      windowStart_(SteadyClock::now()) {}

void TSweepWatch::turnedToAdapter(void* self, const char* name, int index, int count) {
    watchOf(self).turnedTo(Phase::Asking, name, index, count);
}

void TSweepWatch::turnedToLink(void* self, const char* name, int index, int count) {
    watchOf(self).turnedTo(Phase::DialUp, name, index, count);
}

void TSweepWatch::turnedTo(Phase phase, const char* name, int index, int count) {
    const std::lock_guard lock(mutex_);
    state_.phase = phase;
    state_.names.assign(1, name != nullptr ? name : "");
    state_.index = index;
    state_.count = count;
    // The request goes out now; the window is measured from it until the sweep says more.
    if (phase == Phase::Asking) windowStart_ = SteadyClock::now();
}

void TSweepWatch::listened(void* self, const char* const* names, int count, int elapsedMs) {
    TSweepWatch& watch = watchOf(self);
    const std::lock_guard lock(watch.mutex_);
    watch.state_.phase = Phase::Listening;
    watch.state_.names.clear();
    for (int i = 0; i < count; ++i)
        if (names[i] != nullptr) watch.state_.names.emplace_back(names[i]);
    watch.windowStart_ = SteadyClock::now() - std::chrono::milliseconds(std::max(elapsedMs, 0));
}

bool TSweepWatch::stopAsked(void* self) { return watchOf(self).exchange_.stopRequested(); }

void TSweepWatch::tallied(void* self, const CVelqorinNetworkAnalyse::AdapterTally* tally) {
    TSweepWatch& watch = watchOf(self);
    const std::lock_guard lock(watch.mutex_);
    watch.beyondLimit_ += tally->beyondLimit;
}

int TSweepWatch::beyondLimit() const {
    const std::lock_guard lock(mutex_);
    return beyondLimit_;
}

TSweepWatch::State TSweepWatch::state() const {
    const std::lock_guard lock(mutex_);
    State state = state_;
    // Between two reads the window goes on: the bar follows the clock, not the reads.
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
                           SteadyClock::now() - windowStart_).count();
    state.windowPermille = static_cast<int>(
        std::clamp<long long>(since * 1000 / CVelqorinNetworkAnalyse::kWindowMs, 0, 1000));
    return state;
}

QString TSweepWatch::text(const State& state) {
    const QString names = joined(state.names);
    const QString position = QString::number(state.index + 1);
    const QString count = QString::number(state.count);
    switch (state.phase) {
        case Phase::Idle: return {};
        case Phase::Asking:
            return QCoreApplication::translate("Progress", "Interrogation de %1 (%2 sur %3)...")
                .arg(names, position, count);
        case Phase::Listening:
            // One adapter at a time: which one of how many.
            if (state.names.size() == 1 && state.count > 1)
                return QCoreApplication::translate("Progress", "Écoute de %1 (%2 sur %3)")
                    .arg(names, position, count);
            return QCoreApplication::translate("Progress", "Écoute de %1").arg(names);
        case Phase::DialUp:
            return QCoreApplication::translate("Progress", "Liaison %1 (%2 sur %3)")
                .arg(names, position, count);
    }
    return {};
}

TWaitIndicator::TWaitIndicator(QWidget* parent)
    : QWidget(parent), bar_(new QProgressBar(this)), label_(new ElidedText(this)) {
    setObjectName(QStringLiteral("WaitIndicator"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    bar_->setObjectName(QStringLiteral("WaitBar"));
    bar_->setFixedSize(kBarWidth, kBarHeight);
    bar_->setTextVisible(false);
    label_->setObjectName(QStringLiteral("WaitText"));
    layout->addWidget(bar_, 0, Qt::AlignVCenter);
    layout->addWidget(label_, 1);
    hide();
}

void TWaitIndicator::showBusy(const QString& text) {
    bar_->setRange(0, 0);
    setText(text);
    show();
}

void TWaitIndicator::showProgress(int permille, const QString& text) {
    if (bar_->maximum() != 1000) bar_->setRange(0, 1000);
    bar_->setValue(std::clamp(permille, 0, 1000));
    setText(text);
    show();
}

void TWaitIndicator::placeOverRow(const QWidget* first, const QWidget* last) {
    const QWidget* parent = parentWidget();
    if (parent == nullptr || first == nullptr || last == nullptr) return;
    const int margin = std::min(first->x(), 8);
    const int top = std::min(first->y(), last->y());
    const int height = std::max(first->y() + first->height(), last->y() + last->height()) - top;
    setGeometry(margin, top, parent->width() - 2 * margin, height);
    // Opaque, over the buttons it stands for while the window waits.
    setAutoFillBackground(true);
    raise();
}

void TWaitIndicator::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    // It may name a box by its serial number: shown as plain text, as every tooltip is.
    setToolTip(text);
    static_cast<ElidedText*>(label_)->setText(text);
}

TDialogWait::TDialogWait(QWidget& dialog, TWaitIndicator& indicator, const QWidget* firstButton,
                         const QWidget* lastButton, const QString& text)
    : indicator_(indicator), focus_(dialog.focusWidget()) {
    std::vector<QWidget*> controls;
    for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child != &indicator) controls.push_back(child);
    hold_ = std::make_unique<TInputHold>(controls);
    indicator.placeOverRow(firstButton, lastButton);
    indicator.showBusy(text);
}

TDialogWait::~TDialogWait() {
    indicator_.hide();
    hold_.reset();
    if (focus_ != nullptr && focus_->isEnabled()) focus_->setFocus();
}

}  // namespace velqorin::monitor
