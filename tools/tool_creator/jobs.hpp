// Worker jobs: building the task the subprocess manager runs, handing it to
// the manager, and turning a job result into the text the agent reads.
#pragma once

#include "runtime/py.hpp"

namespace tc {

// json.dumps(value, indent=2), with `json` looked up at call time.
py::Ref json_text(PyObject* value);

// Captures the json module's encoder for `json_text` (see JsonEncoding).
void capture_json_encoding(PyObject* json_module);

// SubprocessTask(worker_type="custom", command=command, timeout=timeout),
// with the task type looked up beforehand by the caller.
py::Ref make_custom_task(PyObject* task_type, PyObject* command, PyObject* timeout);

// {"action": "run_function", "path": path, "function": "main", "args": args}
py::Ref run_function_command(PyObject* path, PyObject* args);

// owner._manager.spawn(task): the awaitable of the job.
py::Ref spawn_job(PyObject* owner, PyObject* task);

// "[ERROR] " + format(result.error) when the job failed, else the JSON text
// of result.output.
py::Ref run_answer(PyObject* result);

}  // namespace tc
