// The one runtime of the process on which every method drives the engine's
// asynchronous operations.
#pragma once

#include "runtime/runtime.h"

namespace nuvrel_python {

// Created on first use and kept until the process ends. A runtime that cannot
// be built is a Panic; the next call tries again. Its spin budget is read
// from the environment once, here (shared_runtime.cpp).
nuvrel_core::Runtime& get_runtime();

}  // namespace nuvrel_python
