#include "Browser.h"

namespace velqorin::monitor {

QString reduceBrowserCommand(const QString& registration) {
    qsizetype first = 0;
    qsizetype last = registration.size();
    while (first < last && registration.at(first).unicode() <= 32) ++first;
    while (last > first && registration.at(last - 1).unicode() <= 32) --last;
    QString text = registration.mid(first, last - first);
    if (text.isEmpty()) return text;

    if (text.startsWith(QLatin1Char('"'))) {
        const qsizetype closing = text.lastIndexOf(QLatin1Char('"'));
        // A lone opening quote: nothing to cut between.
        if (closing > 0) return text.mid(1, closing - 1);
        return text;
    }
    const qsizetype slash = text.lastIndexOf(QLatin1Char('/'));
    if (slash >= 0) {
        const qsizetype blank = text.indexOf(QLatin1Char(' '), slash + 1);
        if (blank >= 0) return text.left(blank);
    }
    return text;
}

}  // namespace velqorin::monitor
