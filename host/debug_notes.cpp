// The notes of the normal debugger lines (debug_notes.h).
#include "debug_notes.h"

const char* debug_line_note(std::string_view line) {
  if (line == "[debug] a2 failed") return " (normal: the peer had not closed its side yet)";
  if (line == "[debug] a failed") return " (normal: a listening socket, or a connection that had ended)";
  return nullptr;
}
