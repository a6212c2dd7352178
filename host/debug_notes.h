// The plug-in's debugger lines that every normal run has ("a2 failed", "a
// failed"), marked as normal where tavrel --debug shows them, so that real
// problems stand out. Pure; for both platforms' --debug.
#pragma once

#include <string_view>

// The note a debugger line, "[debug] " and the text, gets; or nullptr.
const char* debug_line_note(std::string_view line);
