// What the tool keeps for the life of the process: the interned names and
// constant objects its operations use, the interned words and method names of
// the operation table, and the schema templates. The runtime's own records
// (types, run-time name lookup) are in runtime/runtime.hpp.
#pragma once

#include "common/py.hpp"
#include "operations.hpp"
#include "runtime/runtime.hpp"
#include "texts.hpp"

#include <array>
#include <iterator>

namespace tc {

// The runtime pieces every tool file uses.
using rt::Args;
using rt::global;

// Interned strings, created once and kept for the life of the process.
#define TC_NAMES(X)                                             \
    X(json, "json")                                             \
    X(dumps, "dumps")                                           \
    X(JSONEncoder, "JSONEncoder")                               \
    X(loads, "loads")                                           \
    X(logger, "logger")                                         \
    X(Path, "Path")                                             \
    X(SubprocessManager, "SubprocessManager")                   \
    X(SubprocessTask, "SubprocessTask")                         \
    X(DynamicTool, "DynamicTool")                               \
    X(get_custom_tools_dir, "_get_custom_tools_dir")            \
    X(home, "home")                                             \
    X(mkdir, "mkdir")                                           \
    X(spawn, "spawn")                                           \
    X(error, "error")                                           \
    X(output, "output")                                         \
    X(get, "get")                                               \
    X(manager_attr, "_manager")                                 \
    X(registry_attr, "_registry")                               \
    X(custom_tools_dir_attr, "_custom_tools_dir")               \
    X(name_attr, "_name")                                       \
    X(description_attr, "_description")                         \
    X(script_path_attr, "_script_path")                         \
    X(operation, "operation")                                   \
    X(default_operation, kDefaultOperation)                     \
    X(validate_code, kValidateCodeMethod)                       \
    X(args, "args")                                             \
    X(action, "action")                                         \
    X(path, "path")                                             \
    X(function, "function")                                     \
    X(main, "main")                                             \
    X(run_function, "run_function")                             \
    X(custom, "custom")                                         \
    X(velmor_dir, ".velmor")                                    \
    X(custom_tools, "custom_tools")                             \
    X(empty, "")                                                \
    X(tool_creator_name, texts::kToolCreatorName)               \
    X(tool_creator_description, texts::kToolCreatorDescription) \
    X(unknown_operation, texts::kUnknownOperation)              \
    X(error_prefix, texts::kErrorPrefix)                        \
    X(registry_prefix, texts::kRegistryPrefix)                  \
    X(tool_name, "tool_name")                                   \
    X(description, "description")                               \
    X(code, "code")                                             \
    X(register_, "register")                                    \
    X(valid, "valid")                                           \
    X(message, "message")                                       \
    X(validate, "validate")                                     \
    X(exists, "exists")                                         \
    X(iterdir, "iterdir")                                       \
    X(is_dir, "is_dir")                                         \
    X(read_text, "read_text")                                   \
    X(write_text, "write_text")                                 \
    X(utf8, "utf-8")                                            \
    X(metadata_json, "metadata.json")                           \
    X(tool_py, "tool.py")                                       \
    X(name, "name")                                             \
    X(script, "script")                                         \
    X(created_by, "created_by")                                 \
    X(agent, "agent")                                           \
    X(tools, "tools")                                           \
    X(count, "count")                                           \
    X(code_lines, "code_lines")                                 \
    X(code_size, "code_size")                                   \
    X(code_preview, "code_preview")                             \
    X(update, "update")                                         \
    X(tools_attr, "_tools")                                     \
    X(pop, "pop")                                               \
    X(info, "info")                                             \
    X(warning, "warning")                                       \
    X(created, "created")                                       \
    X(registered, "registered")                                 \
    X(rmtree, "rmtree")                                         \
    X(shutil, "shutil")                                         \
    X(errno_attr, "errno")                                      \
    X(fspath_method, "__fspath__")                              \
    X(newline, "\n")                                            \
    X(unknown_error, texts::kUnknownError)                      \
    X(no_validation_result, texts::kNoValidationResult)         \
    X(no_custom_tools, texts::kNoCustomTools)                   \
    X(no_metadata, texts::kNoMetadata)                          \
    X(tool_name_required, texts::kToolNameRequired)             \
    X(code_required, texts::kCodeRequired)

struct Names {
#define TC_DECLARE_NAME(ident, text) py::Ref ident;
    TC_NAMES(TC_DECLARE_NAME)
#undef TC_DECLARE_NAME
};

// Constant objects shared by every call.
struct Constants {
    py::Ref kw_indent;            // ("indent",)
    py::Ref kw_parents_exist_ok;  // ("parents", "exist_ok")
    py::Ref kw_task;              // ("worker_type", "command", "timeout")
    py::Ref
        kw_dynamic_tool;  // ("tool_name", "tool_description", "script_path", "subprocess_manager")
    py::Ref kw_encoding;  // ("encoding",)
    py::Ref two;          // 2
    py::Ref validate_timeout;  // 10.0
    py::Ref run_timeout;       // 60.0
};

// The operation table's words and method names, interned, by row; a helper
// row has no word.
struct OperationNames {
    std::array<py::Ref, std::size(kOperations)> words;
    std::array<py::Ref, std::size(kOperations)> methods;
};

struct State {
    Names names;
    Constants constants;
    OperationNames operations;
    py::Ref tool_creator_schema;  // templates copied on every read of `parameters`
    py::Ref dynamic_tool_schema;
};

// The process-wide state; `init_state` fills it once (later calls do nothing).
State& state();
void init_state();

inline const Names& names() { return state().names; }
inline const Constants& constants() { return state().constants; }

}  // namespace tc
