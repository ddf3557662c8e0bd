// The run operation: a saved tool run by its folder name, registered or not.
#include "jobs.hpp"
#include "operations.hpp"
#include "state.hpp"
#include "store.hpp"
#include "texts.hpp"

namespace tc::operations {

namespace {

// The script's path, for the answer after the job.
constexpr std::size_t kScriptPath = 0;

}  // namespace

// Checks the call and, when it can go on, hands the "run_function" job to
// the manager.
rt::Step prepare_run(Args a) {
    const Names& n = names();
    // Both are read before anything is tested, the name first.
    py::Ref tool_name = py::dict_get(a[1], n.tool_name, n.empty);
    py::Ref args = py::dict_get(a[1], n.args);
    if (!args) args = py::new_dict();
    ToolRequest request = resolve_tool(tool_name);
    if (request.refusal) return {.answer = std::move(request.refusal), .awaitable = {}};

    py::Ref folder = tool_folder(a.self(), request.part);
    PyObject* script_path = a.keep<kScriptPath>(join(folder, n.tool_py));
    if (!exists(script_path))
        return {.answer = py::fstring(texts::kScriptNotFound, script_path), .awaitable = {}};
    return {.answer = {}, .awaitable = start_job(a.self(), constants().run_timeout, [&] {
                              return run_function_command(py::str_of(script_path), args);
                          })};
}

// A tool deleted while its job ran is answered as if the delete came first,
// unless the job got far enough to give the tool's own result.
py::Ref finish_run(Args a, py::Ref result) { return run_answer(result, a.kept<kScriptPath>()); }

}  // namespace tc::operations
