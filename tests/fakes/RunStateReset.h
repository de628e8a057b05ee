// Resetting the application's module-level run state between runs in one
// host process, as a fresh image load would. Shared by the host tests, the
// power-cut sweep and the whole-run benchmark.
#pragma once

/// Zeroes every module-level run variable.
void ResetRunState();
