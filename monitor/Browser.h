// The browser's program path from its registration, a command line such as
// `"/opt/web browser/bin/browser" --new-window %s`.
#pragma once

#include <QString>

namespace velqorin::monitor {

// Trims blanks and control characters; a leading double quote keeps what lies between
// the first and the last double quote; otherwise a blank after the last '/' ends the path.
// Anything else is returned trimmed but unchanged.
QString reduceBrowserCommand(const QString& registration);

}  // namespace velqorin::monitor
