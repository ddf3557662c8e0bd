// Helpers shared by the operations that work on the custom tools store.
#pragma once

#include "common/fd.hpp"
#include "common/py.hpp"

namespace tc {

// The opening create, info, delete and run share: the call's `tool_name`
// (read by the operation, in its own order of reads), tested for presence,
// then judged as a folder name. A name that is not one plain folder name (it
// would lead outside the store) is refused. Otherwise `part` is what to join
// to the store root: the checked text for a str or path-like name (so a
// path-like object cannot answer differently the second time it is asked),
// the name itself for anything else, which the join then refuses.
struct ToolRequest {
    py::Ref tool_name;  // as given
    py::Ref part;       // set when the call can go on
    py::Ref refusal;    // the answer instead, when it cannot
};
// `code`: create's code, whose absence is answered after a missing name and
// before the name is judged; null for the other operations.
ToolRequest resolve_tool(py::Borrowed tool_name, py::Borrowed code = nullptr);

// path / part
py::Ref join(py::Borrowed path, py::Borrowed part);
// self._custom_tools_dir / part, the attribute read now
py::Ref tool_folder(py::Borrowed self, py::Borrowed part);
bool exists(py::Borrowed path);
// path.read_text(encoding="utf-8"): what create wrote reads back the same
// under any locale.
py::Ref read_text_utf8(py::Borrowed path);
// path.write_text(text, encoding="utf-8")
void write_text_utf8(py::Borrowed path, py::Borrowed text);

// Store writes (store_writes.cpp). A tool file is never rewritten in place:
// a crash in the middle of that loses the previous version and leaves a stub
// that every later listing trips over, and a reader in another process sees
// half a file. Instead the text goes to a temporary file of this writer's own
// in the same folder, is flushed to the disk, and is renamed over the final
// name, so any reader, or the store after a crash, has the old file or the
// new one, whole.
//
// folder / name gets `text`: written to a temporary file with
// Path.write_text(text, encoding="utf-8"), synced, and renamed over the
// final name. The temporary file is removed when a step fails.
void write_durably(py::Borrowed folder, py::Borrowed name, py::Borrowed text);
// Syncs the folder, so that the renames made in it survive a crash. Once for
// all the files of one save: each sync costs a journal commit and a flush of
// the disk's cache, and one covers every entry of the folder.
void sync_folder(py::Borrowed folder);
// Removes from `folder` the temporary files that writers left behind when
// they died (the pid in the name is gone), or that are too old to belong to
// a write still under way.
void remove_stale_temporaries(py::Borrowed folder);

// Create holds this around its writes, and delete around its removal, so that
// between processes (and threads) sharing one store neither meets the other's
// half-done work: a delete that removed the folder between a writer's write
// and its rename sent the writer back to the start, and under steady deletes
// it could run out of attempts. An advisory lock on the store folder (the
// tool folder's parent), released when the descriptor closes, a holder's
// death included. Best effort: a store folder that cannot be opened or locked
// leaves the operation to the retries it makes when the folder changes.
class StoreLock {
public:
    explicit StoreLock(py::Borrowed tool_folder);

private:
    sys::Fd fd_;
};

}  // namespace tc
