// What the module keeps for the life of the process: the interned names its
// functions use, its Python types, and the module namespace that run-time name
// lookups read. One interpreter per process uses the module, so these are
// process-wide records rather than per-module state.
#pragma once

#include "runtime/py.hpp"
#include "texts.hpp"

namespace tc {

// Interned strings, created once and kept for the life of the process.
#define TC_NAMES(X)                                   \
    X(json, "json")                                   \
    X(dumps, "dumps")                                 \
    X(JSONEncoder, "JSONEncoder")                     \
    X(loads, "loads")                                 \
    X(indent, "indent")                               \
    X(logger, "logger")                               \
    X(Path, "Path")                                   \
    X(SubprocessManager, "SubprocessManager")         \
    X(SubprocessTask, "SubprocessTask")               \
    X(DynamicTool, "DynamicTool")                     \
    X(get_custom_tools_dir, "_get_custom_tools_dir")  \
    X(home, "home")                                   \
    X(mkdir, "mkdir")                                 \
    X(spawn, "spawn")                                 \
    X(error, "error")                                 \
    X(output, "output")                               \
    X(get, "get")                                     \
    X(manager_attr, "_manager")                       \
    X(registry_attr, "_registry")                     \
    X(custom_tools_dir_attr, "_custom_tools_dir")     \
    X(name_attr, "_name")                             \
    X(description_attr, "_description")               \
    X(script_path_attr, "_script_path")               \
    X(operation, "operation")                         \
    X(list, "list")                                   \
    X(args, "args")                                   \
    X(action, "action")                               \
    X(path, "path")                                   \
    X(function, "function")                           \
    X(main, "main")                                   \
    X(run_function, "run_function")                   \
    X(custom, "custom")                               \
    X(velmor_dir, ".velmor")                          \
    X(custom_tools, "custom_tools")                   \
    X(empty, "")                                      \
    X(add_note, "add_note")                           \
    X(throw_, "throw")                                \
    X(close, "close")                                 \
    X(value, "value")                                 \
    X(op_create, "create")                            \
    X(op_validate, "validate")                        \
    X(op_delete, "delete")                            \
    X(op_run, "run")                                  \
    X(op_info, "info")                                \
    X(create_tool, "_create_tool")                    \
    X(validate_tool, "_validate_tool")                \
    X(validate_code, "_validate_code")                \
    X(list_tools, "_list_tools")                      \
    X(delete_tool, "_delete_tool")                    \
    X(run_tool, "_run_tool")                          \
    X(tool_info, "_tool_info")                        \
    X(tool_creator_name, texts::kToolCreatorName)     \
    X(tool_creator_description, texts::kToolCreatorDescription) \
    X(unknown_operation, texts::kUnknownOperation)    \
    X(error_prefix, texts::kErrorPrefix)              \
    X(registry_prefix, texts::kRegistryPrefix)        \
    X(tool_name, "tool_name")                         \
    X(description, "description")                     \
    X(code, "code")                                   \
    X(register_, "register")                          \
    X(valid, "valid")                                 \
    X(message, "message")                             \
    X(validate, "validate")                           \
    X(exists, "exists")                               \
    X(iterdir, "iterdir")                             \
    X(is_dir, "is_dir")                               \
    X(read_text, "read_text")                         \
    X(write_text, "write_text")                       \
    X(utf8, "utf-8")                                  \
    X(metadata_json, "metadata.json")                 \
    X(tool_py, "tool.py")                             \
    X(name, "name")                                   \
    X(script, "script")                               \
    X(created_by, "created_by")                       \
    X(agent, "agent")                                 \
    X(tools, "tools")                                 \
    X(count, "count")                                 \
    X(code_lines, "code_lines")                       \
    X(code_size, "code_size")                         \
    X(code_preview, "code_preview")                   \
    X(update, "update")                               \
    X(tools_attr, "_tools")                           \
    X(pop, "pop")                                     \
    X(info, "info")                                   \
    X(warning, "warning")                             \
    X(created, "created")                             \
    X(registered, "registered")                       \
    X(rmtree, "rmtree")                               \
    X(shutil, "shutil")                               \
    X(fspath_method, "__fspath__")                    \
    X(newline, "\n")                                  \
    X(unknown_error, texts::kUnknownError)            \
    X(no_validation_result, texts::kNoValidationResult) \
    X(no_custom_tools, texts::kNoCustomTools)         \
    X(no_metadata, texts::kNoMetadata)                \
    X(tool_name_required, texts::kToolNameRequired)   \
    X(code_required, texts::kCodeRequired)

struct Names {
#define TC_DECLARE_NAME(ident, text) py::Ref ident;
    TC_NAMES(TC_DECLARE_NAME)
#undef TC_DECLARE_NAME
};

// Constant objects shared by every call.
struct Constants {
    py::Ref kw_indent;                       // ("indent",)
    py::Ref kw_parents_exist_ok;             // ("parents", "exist_ok")
    py::Ref kw_task;                         // ("worker_type", "command", "timeout")
    py::Ref kw_dynamic_tool;                 // ("tool_name", "tool_description", "script_path", "subprocess_manager")
    py::Ref kw_encoding;                     // ("encoding",)
    py::Ref two;                             // 2
    py::Ref validate_timeout;                // 10.0
    py::Ref run_timeout;                     // 60.0
    py::Ref asyncio_coroutine_marker;        // asyncio.coroutines._is_coroutine
    py::Ref inspect_coroutine_marker;        // inspect._is_coroutine_mark
};

// The standard json module's encoding machinery, captured at import, so that
// `json.dumps(value, indent=2)` can run its C encoder directly while the
// module's `json` and its `dumps` and `JSONEncoder` are still the originals.
struct JsonEncoding {
    py::Ref module;
    py::Ref dumps;
    py::Ref encoder_type;            // json.JSONEncoder
    py::Ref make_encoder;            // json.encoder.c_make_encoder
    py::Ref encode_string;           // json.encoder.encode_basestring_ascii
    py::Ref default_method;          // JSONEncoder(indent=2).default
    py::Ref indent;                  // "  "
    py::Ref key_separator;           // ": "
    py::Ref item_separator;          // ","
    py::Ref zero;                    // 0
};

struct State {
    Names names;
    Constants constants;
    py::Ref function_type;
    py::Ref coroutine_type;
    py::Ref coroutine_wrapper_type;
    JsonEncoding json;            // unset when the C encoder is unavailable
    py::Ref tool_creator_schema;  // templates copied on every read of `parameters`
    py::Ref dynamic_tool_schema;
    py::Ref globals;   // the namespace of the module being (or last) executed
    py::Ref builtins;  // the builtins namespace
};

// The process-wide state; `init_state` fills it once (idempotent).
State& state();
void init_state();

inline const Names& names() { return state().names; }
inline const Constants& constants() { return state().constants; }

// A module-level name looked up as a function body would at run time: the
// module namespace, then builtins; NameError when neither has it.
py::Ref global(PyObject* name);

}  // namespace tc
