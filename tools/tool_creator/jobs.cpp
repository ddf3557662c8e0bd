#include "jobs.hpp"

#include "json_text.hpp"
#include "store.hpp"
#include "texts.hpp"

namespace tc {

py::Ref run_function_command(py::Borrowed path, py::Borrowed args) {
    const Names& n = names();
    py::Ref command = py::new_dict();
    py::set_item(command, n.action, n.run_function);
    py::set_item(command, n.path, path);
    py::set_item(command, n.function, n.main);
    py::set_item(command, n.args, args);
    return command;
}

py::Ref run_answer(py::Borrowed result, py::Borrowed script_path) {
    const Names& n = names();
    py::Ref error = py::getattr(result, n.error);
    if (py::truthy(error)) {
        if (script_path && !exists(script_path))
            return py::fstring(texts::kScriptNotFound, script_path);
        // Read a second time for the text, as `f"[ERROR] {result.error}"`
        // after the test would: a result whose attribute changes between the
        // reads shows the second value.
        py::Ref text = py::format(py::getattr(result, n.error));
        return py::concat(n.error_prefix, text);
    }
    py::Ref output = py::getattr(result, n.output);
    return json_text(output);
}

}  // namespace tc
