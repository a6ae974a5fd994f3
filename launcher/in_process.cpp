#include "launcher/in_process.h"

#include "launcher/state.h"

void point_argument0_at_own_path() {
  LauncherState& state = launcher_state;
  if (state.argument_count <= 0) return;
  fill_own_module_path(state.own_path, own_path_capacity);
  state.argument_vector[0] = state.own_path;
}
