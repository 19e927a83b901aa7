// Runs before main and before any thread of a test program: see
// startup/Utf8Locale.h.
#include "startup/Utf8Locale.h"

namespace {

const bool chosen = (startup::ChooseUtf8Locale(), true);

} // namespace
