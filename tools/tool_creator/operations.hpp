// The operations of ToolCreatorTool, as one table. Each row gives the word
// that `operation` selects it by, the method that runs it, the method's body,
// and its line in the schema's description of `operation`. From the table
// come the schema's "enum" and that description (schema.cpp), the dispatch of
// `execute` (tool_creator_tool.cpp), the class's operation methods and their
// qualified names (tool_creator_tool.cpp, through the runtime).
//
// Adding an operation: declare its body below and add its row; write the
// body in a source file of its own (or beside its group's).
#pragma once

#include "common/py.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/steps.hpp"
#include "texts.hpp"

#include <span>
#include <string_view>

namespace tc::operations {

// The operations that await: each is prepared up to its one await and
// finished after it, by two plain functions (runtime/steps.hpp says why).
rt::Step prepare_create(rt::Args a);                    // creation.cpp
py::Ref finish_create(rt::Args a, py::Ref validation);  // creation.cpp
rt::Step prepare_validate(rt::Args a);                  // validation.cpp
py::Ref finish_validate(rt::Args a, py::Ref verdict);   // validation.cpp
rt::Step prepare_validate_code(rt::Args a);             // validation.cpp
py::Ref finish_validate_code(rt::Args a, py::Ref result);
rt::Step prepare_run(rt::Args a);                // direct_run.cpp
py::Ref finish_run(rt::Args a, py::Ref result);  // direct_run.cpp

inline constexpr rt::CoroutineSteps create_tool{prepare_create, finish_create};
inline constexpr rt::CoroutineSteps validate_tool{prepare_validate, finish_validate};
inline constexpr rt::CoroutineSteps validate_code{prepare_validate_code, finish_validate_code};
inline constexpr rt::CoroutineSteps run_tool{prepare_run, finish_run};

py::Ref list_tools(rt::Args a);   // catalogue.cpp
py::Ref delete_tool(rt::Args a);  // catalogue.cpp
py::Ref tool_info(rt::Args a);    // catalogue.cpp

}  // namespace tc::operations

namespace tc {

// An operation method takes the instance and the call's keyword dict, which
// must be exactly a dict; `self` only for one that needs no arguments.
inline constexpr rt::Param kOperationParams[] = {
    {.name = "self"},
    {.name = "kwargs", .annotation = "dict", .check = rt::ArgCheck::ExactDict},
};
inline constexpr rt::Param kSelfOnly[] = {{.name = "self"}};
inline constexpr rt::Param kCodeParams[] = {
    {.name = "self"},
    {.name = "code", .annotation = "str", .check = rt::ArgCheck::ExactStr},
};

struct Operation {
    const char* word;         // what `operation` equals to select it; null for a helper method
    const char* method;       // the method `execute` looks up on the instance and calls
    rt::Body body;            // plain (its result is the answer) or coroutine (awaited)
    const char* description;  // its line in the schema's description of `operation`
    const char* doc = nullptr;
    std::span<const rt::Param> params = kOperationParams;
    const char* return_annotation = "str";
    rt::ResultCheck result_check = rt::ResultCheck::ExactStr;

    // Whether the method is called with the call's kwargs dict.
    constexpr bool takes_kwargs() const noexcept { return params.size() > 1; }
    constexpr rt::FunctionSpec function() const noexcept {
        return {.name = method,
                .doc = doc,
                .params = params,
                .return_annotation = return_annotation,
                .result_check = result_check,
                .body = body};
    }
};

// The operation `execute` runs when the call names none.
inline constexpr const char* kDefaultOperation = "list";
// The worker check of code that validate and create share.
inline constexpr const char* kValidateCodeMethod = "_validate_code";

// In the order `operation` is compared with the words, which is also the
// order of the schema's "enum" and of the methods in the class.
inline constexpr Operation kOperations[] = {
    {.word = "create",
     .method = "_create_tool",
     .body = operations::create_tool,
     .description = "Create and save a new custom tool"},
    {.word = "validate",
     .method = "_validate_tool",
     .body = operations::validate_tool,
     .description = "Check if tool code is valid"},
    // A helper method, not an operation: it has no word, and sits here for
    // its place among the class's methods.
    {.word = nullptr,
     .method = kValidateCodeMethod,
     .body = operations::validate_code,
     .description = nullptr,
     .doc = texts::kValidateCodeDoc,
     .params = kCodeParams,
     .return_annotation = "dict",
     .result_check = rt::ResultCheck::ExactDict},
    {.word = kDefaultOperation,
     .method = "_list_tools",
     .body = operations::list_tools,
     .description = "List all custom tools",
     .doc = texts::kListToolsDoc,
     .params = kSelfOnly},
    {.word = "delete",
     .method = "_delete_tool",
     .body = operations::delete_tool,
     .description = "Delete a custom tool"},
    {.word = "run",
     .method = "_run_tool",
     .body = operations::run_tool,
     .description = "Execute a custom tool directly"},
    {.word = "info",
     .method = "_tool_info",
     .body = operations::tool_info,
     .description = "Get details about a custom tool"},
};

namespace detail {
consteval bool operation_table_is_sound() {
    bool has_default = false;
    for (const Operation& op : kOperations) {
        // (Bodies are checked when the methods are made: a sanitizer build
        // cannot compare function addresses at compile time.)
        if (!op.method) return false;
        if (op.word && !op.description) return false;
        if (op.word && std::string_view(op.word) == kDefaultOperation) has_default = true;
        for (const Operation& other : kOperations) {
            if (&other != &op && op.word && other.word && std::string_view(op.word) == other.word)
                return false;
            if (&other != &op && std::string_view(op.method) == other.method) return false;
        }
    }
    return has_default;
}
}  // namespace detail
static_assert(detail::operation_table_is_sound(),
              "every row needs a method, every operation a description; words and methods are "
              "unique, and the default operation is one of them");

}  // namespace tc
