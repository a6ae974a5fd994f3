#include "launcher/state.h"

// Static storage: zero-filled before the entry point runs.
LauncherState launcher_state;
