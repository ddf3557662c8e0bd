// Bodies of the ToolCreatorTool operation methods, one source file per group.
#pragma once

#include "runtime/args.hpp"
#include "runtime/py.hpp"
#include "runtime/task.hpp"

namespace tc::operations {

Task validate_tool(Args a);  // validation.cpp
Task validate_code(Args a);
Task create_tool(Args a);  // creation.cpp
py::Ref list_tools(Args a);  // catalogue.cpp
py::Ref tool_info(Args a);
py::Ref delete_tool(Args a);
Task run_tool(Args a);  // direct_run.cpp

}  // namespace tc::operations
