#pragma once

#include <QtGlobal>

namespace shared {

// Signed 64-bit count of milliseconds, the type of every time-out.
using TMilliseconds = qint64;

} // namespace shared
