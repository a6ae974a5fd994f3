#include "launcher/driver.h"

#include <cstdlib>

#include "diag/diag.h"
#include "diag/failure_box.h"
#include "diag/messages.h"
#include "launcher/child.h"
#include "launcher/cleanup.h"
#include "launcher/console.h"
#include "launcher/in_process.h"
#include "launcher/progress_window.h"
#include "launcher/role.h"
#include "launcher/run.h"
#include "launcher/session_end.h"
#include "launcher/state.h"
#include "launcher/trace.h"
#include "launcher/unpack_folder.h"
#include "launcher/unpack_place.h"
#include "paths/spec.h"
#include "payload/unpack.h"

namespace {

// The child reads only the first entry's name; a start run in process mostly has it from
// its tree's marker already. An entry stream without entries names no main library: that
// is reported like a library that cannot be found, and the child never goes on to the
// parent's steps, which would start yet another child.
int run_child_role() {
  LauncherState& state = launcher_state;
  if (state.main_library_path[0] == L'\0') {
    unpack_entries(state.reader, state.target_directory, state.main_library_path, UnpackMode::first_name_only);
    trace_step("first-name-read");
  }
  if (state.main_library_path[0] == L'\0') exit_with_system_error(message_load_failed, ERROR_FILE_NOT_FOUND);
  return run_main_library();
}

// A complete cached tree: the application runs in this process with what a child gets,
// the variables as a child sees them (TAVRIN_ONEFILE_PARENT names this process), argument
// 0 the full path, the tree held as a child holds it. The tree is kept, so no console
// handler or session-end window is needed. Old trees are retired after the run.
int run_in_process_role() {
  LauncherState& state = launcher_state;
  publish_child_environment(state.argument_count > 0 ? state.argument_vector[0] : nullptr);
  point_argument0_at_own_path();
  const int result = run_child_role();
  sweep_after_run();
  return result;
}

// A complete cached tree is used as it is: nothing is decompressed or written.
int run_parent_role(ParentPlace place) {
  LauncherState& state = launcher_state;
  if (place != ParentPlace::cached) {
    const EntryRecorder recorder = place == ParentPlace::staging ? record_staged_entry : nullptr;
    unpack_entries(state.reader, state.target_directory, state.main_library_path, UnpackMode::write_all, recorder,
                   unpack_tree_for(place));
    state.reader.close();
    if (place == ParentPlace::staging) publish_staged_tree();
  }
  // A progress window not shown by now never is.
  finish_progress_unpacking();
  publish_child_environment(state.argument_count > 0 ? state.argument_vector[0] : nullptr);
  publish_child_mark();
  // The exit code travels as the same 32 bits, whatever their sign.
  const DWORD exit_code = launch_and_wait();
  sweep_after_run();
  trace_step("parent-returns");
  return static_cast<int>(exit_code);
}

}  // namespace

int run_launcher() {
  LauncherState& state = launcher_state;
  // From the first report on, a start without usable streams also shows its failure.
  enable_failure_box();
  state.argument_count = __argc;
  state.argument_vector = __wargv;
  trace_step("launcher-entered");
  const Role role = decide_role();
  trace_step("role-decided");
  ParentPlace place = ParentPlace::temporary;
  const bool expanded = role == Role::parent ? choose_parent_place(&place) : choose_child_place();
  trace_step("place-chosen");
  state.payload = locate_payload();
  if (!expanded) abort_with_spec_error(temporary_tree_spec());
  // A first start keeps its two processes: it may have to remove a staging copy.
  const bool in_process = role == Role::parent && place == ParentPlace::cached;
  if (role == Role::parent && !in_process) {
    if (!register_console_handler()) exit_with_message(message_register_handler_failed);
    // A progress window goes before any failure's line.
    set_failure_prelude(close_progress_window_now);
    // Without a console the handler never runs; the window hears of log-off and shutdown.
    // The same thread shows the progress of a slow start, when the exe asks for it.
    start_session_end_watch();
  }
  const CompressedData compressed = check_payload_header(state.payload.data, state.payload.size);
  // A cached tree in use by a waiting parent needs no decoder, nor does one run in process
  // that has the main library's path from the tree's marker.
  if (place != ParentPlace::cached || (in_process && state.main_library_path[0] == L'\0')) {
    state.reader.open(compressed.data, compressed.size);
  }
  // From here a console event in the parent role removes the target directory (never a
  // cached tree); a console program's Ctrl+C and Ctrl+Break only until its child exists.
  trace_step("stream-opened");
  state.unpacking_started.store(1);
  if (role == Role::child) return run_child_role();
  if (in_process) return run_in_process_role();
  return run_parent_role(place);
}
