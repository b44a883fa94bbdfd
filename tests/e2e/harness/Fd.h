// Owner of one file descriptor, so every early return and throw closes it: the one the
// library and its tools use.
#pragma once

#include "support/Handles.h"

namespace velqorin::e2e {

using Fd = velqorin::UniqueFd;

}  // namespace velqorin::e2e
