// Every fixed text the tool shows: docstrings, tool descriptions, schema
// texts and answers. Kept in one place so that wording is reviewed together;
// the operations' own lines of the schema are in their table
// (operations.hpp), and the runtime's CPython-like error texts beside the
// code that raises them.
#pragma once

namespace tc::texts {

inline constexpr const char* kModuleName = "velmor.tools.tool_creator";

inline constexpr const char* kModuleDoc =
    "Tool Creator \u2014 allows the agent to dynamically create new tools at runtime.\n"
    "\n"
    "This is one of the most powerful features: Claude can write new Python tools,\n"
    "validate them, register them, and use them immediately. This enables:\n"
    "  - Self-extending capabilities\n"
    "  - Task-specific tool creation\n"
    "  - Custom automation scripts\n"
    "  - One-off utilities\n"
    "\n"
    "Created tools are saved to ~/.velmor/custom_tools/ and can be persisted\n"
    "across sessions.\n";

// ---- module function --------------------------------------------------------
inline constexpr const char* kGetCustomToolsDirDoc = "Get the directory for custom tools.";

// ---- ToolCreatorTool -------------------------------------------------------
inline constexpr const char* kToolCreatorDoc =
    "Create, validate, and manage custom tools at runtime.";
inline constexpr const char* kSetRegistryDoc =
    "Set the tool registry (called after initialization).";
inline constexpr const char* kValidateCodeDoc = "Validate code using the custom worker.";
inline constexpr const char* kListToolsDoc = "List all custom tools.";

inline constexpr const char* kToolCreatorName = "tool_creator";
inline constexpr const char* kToolCreatorDescription =
    "Create new tools at runtime. Write Python code that extends the agent's capabilities. Created tools are "
    "validated, saved, and can be immediately registered for use. Use this when you need a specialized tool that "
    "doesn't exist yet.";

// The first line of the description of `operation`; a line per operation
// follows, "- <word>: <description>", from the operation table.
inline constexpr const char* kOperationHeading = "The operation to perform:";
inline constexpr const char* kToolNameDescription = "Name for the custom tool (snake_case).";
inline constexpr const char* kDescriptionDescription = "Description of what the tool does.";
inline constexpr const char* kCodeDescription =
    "Python code for the tool. Must define a 'main(args: dict) -> dict' function that accepts a dict of arguments "
    "and returns a dict with 'success' and 'result' keys.";
inline constexpr const char* kArgsDescription = "Arguments to pass when running the tool.";
inline constexpr const char* kRegisterDescription =
    "Whether to register the tool for LLM use (default: true).";

inline constexpr const char* kUnknownOperation = "[ERROR] Unknown operation: ";

// ---- DynamicTool -----------------------------------------------------------
inline constexpr const char* kDynamicToolDoc =
    "A dynamically-created tool that runs via subprocess.";
inline constexpr const char* kRegistryPrefix = "custom_";
inline constexpr const char* kDynamicArgsDescription =
    "Arguments to pass to the tool's main() function.";

// ---- shared answers ----------------------------------------------------------
inline constexpr const char* kErrorPrefix = "[ERROR] ";
inline constexpr const char* kToolNameRequired = "[ERROR] tool_name is required.";
inline constexpr const char* kCodeRequired = "[ERROR] code is required.";
// Filled with repr() of the refused name.
inline constexpr const char* kInvalidToolName =
    "[ERROR] Invalid tool_name: %U. A tool name is one plain folder name (no '/', '\\' or NUL character, not "
    "'.' or '..').";
// Filled with repr() of the refused name.
inline constexpr const char* kNotProviderSafeToolName =
    "[ERROR] Invalid tool_name: %U. A new tool's name uses only the letters A-Z and a-z, the digits 0-9, '_' and "
    "'-', at most 57 characters, so that its registered name custom_<name> is a valid function name for model "
    "providers.";
inline constexpr const char* kToolNotFound = "[ERROR] Tool not found: ";

// ---- validation and creation ---------------------------------------------------
inline constexpr const char* kUnknownError = "Unknown error";
inline constexpr const char* kNoValidationResult = "No validation result";
inline constexpr const char* kInvalidCode = "[ERROR] Invalid code: ";
inline constexpr const char* kRegisteredLog = "Registered custom tool: ";
inline constexpr const char* kRegisterFailedLog = "Failed to register tool ";
inline constexpr const char* kSavedButNotRegistered = "Tool saved to ";
inline constexpr const char* kRegistrationFailed = " but registration failed: ";
inline constexpr const char* kRunItAnyway = ". You can still run it with tool_creator run.";

// ---- catalogue and direct run ------------------------------------------------
inline constexpr const char* kNoCustomTools = "No custom tools found. Use 'create' to make one.";
inline constexpr const char* kNoMetadata = "(no metadata)";
inline constexpr const char* kDeleted = "Deleted custom tool: ";
inline constexpr const char* kScriptNotFound = "[ERROR] Tool script not found: ";

// ---- import ------------------------------------------------------------------
inline constexpr const char* kInterpreterChanged =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char* kAlreadyImported =
    "Module 'tool_creator' has already been imported. Re-initialisation is not supported.";

}  // namespace tc::texts
