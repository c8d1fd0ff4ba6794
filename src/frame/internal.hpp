// Frame internals shared between the frame's own source files.
#pragma once

#include "frame/frame.hpp"

namespace frame::detail {

// "src/tavik/datastructures/<short name>"
const char* traceback_file();
// The module's short name ("fieldbag").
const char* short_name();
// The line recorded by the last pass_error().
extern int error_line;
// Readies the function type (once per extension module).
void ready_function_type();

}  // namespace frame::detail
