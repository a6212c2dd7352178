// The module-wide state: the entry points set it, the network thread and the
// script functions read it.
#include "module_state.h"

namespace cvn {

ModuleState g_module;

}  // namespace cvn
