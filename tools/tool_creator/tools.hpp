// The module's public surface, as data: the module function and the member
// tables of the two tool classes.
#pragma once

#include "runtime/classes.hpp"
#include "runtime/function.hpp"

namespace tc {

extern const rt::FunctionSpec kGetCustomToolsDir;  // store.cpp
extern const rt::ClassSpec kToolCreatorToolClass;  // tool_creator_tool.cpp
extern const rt::ClassSpec kDynamicToolClass;      // dynamic_tool.cpp

}  // namespace tc
