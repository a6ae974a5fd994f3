// Entry points for the messages that several places raise. Kept apart from diag.cpp so that
// a build that replaces the ways of ending (the fuzz targets) shares these unchanged.
#include "diag/diag.h"
#include "diag/messages.h"

void exit_decode_failed() {
  exit_with_message(message_decode_failed);
}

void exit_allocation_failed() {
  exit_with_message(message_allocation_failed);
}
