// Worker jobs: building the task the subprocess manager runs, handing it to
// the manager, and turning a job result into the text the agent reads.
#pragma once

#include "common/py.hpp"
#include "state.hpp"

namespace tc {

// SubprocessTask(worker_type="custom", command=make_command(), timeout=timeout)
// handed to owner._manager.spawn: the awaitable of the job. `SubprocessTask`
// and `_manager` are read at each job, in this order, so that a host or test
// that rebinds either has the next job use its replacement.
template <class MakeCommand>
py::Ref start_job(py::Borrowed owner, py::Borrowed timeout, MakeCommand&& make_command) {
    const Names& n = names();
    py::Ref task_type = global(n.SubprocessTask);
    py::Ref command = make_command();
    py::Ref task = py::call_kw(task_type, constants().kw_task, n.custom, command, timeout);
    py::Ref manager = py::getattr(owner, n.manager_attr);
    return py::call_method(manager, n.spawn, task);
}

// {"action": "run_function", "path": path, "function": "main", "args": args}
py::Ref run_function_command(py::Borrowed path, py::Borrowed args);

// "[ERROR] " + format(result.error) when the job failed, else the JSON text
// of result.output. With `script_path`, a failed job whose script is gone by
// now (deleted while the job ran) answers "[ERROR] Tool script not found: "
// and the path instead: the worker's own failure to open a missing file says
// nothing the operation's own text does not.
py::Ref run_answer(py::Borrowed result, py::Borrowed script_path = nullptr);

}  // namespace tc
