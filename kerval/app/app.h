// Internal helpers of the application stop, suspension and shutdown.
#pragma once

namespace kerval::app {

// Enables the shutdown privilege of the process; false (after a warning report) when refused.
bool AdjustProcessToken();

}  // namespace kerval::app
