// The simulator class Lumora.
#pragma once

#include "module/python.hpp"

namespace lumora::py {

// The class, created at its first use in the process; nullptr with an
// error set when it cannot be created.
PyTypeObject* simulator_type();

}  // namespace lumora::py
