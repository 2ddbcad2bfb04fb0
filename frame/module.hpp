// The module frame: what every deliverable shares — its module record, the create and exec steps,
// and the traceback entries that report where module code failed.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace pel {

struct FunctionDef;

// Where module code is running: the function (null during module initialisation) and the source
// line of the statement under way. A failure is reported at that line.
struct Frame {
    const FunctionDef* function;
    int line;
};

// What each module source provides, as `pel::this_module`.
struct ModuleInfo {
    const char* short_name;  // "brimsett"
    const char* dotted_name; // "pellandor.brimsett"
    const char* file_name;   // "src/pellandor/brimsett": the file of every traceback entry
    void (*body)(Frame&);    // the module's top-level statements, in source order
};

extern const ModuleInfo this_module;

// The process-wide bookkeeping of one deliverable. Never released: functions and classes made by the
// module refer to it for the life of the process.
struct Record {
    std::int64_t interpreter = -1;
    PyObject* module = nullptr;
    void* module_state = nullptr; // the state block the import system gave `module` at its last exec
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* module_name = nullptr; // the dotted name, interned
    PyTypeObject* metatype = nullptr;
    PyTypeObject* function_type = nullptr;
};

extern Record record;

// Adds one entry for `frame` to the traceback of the exception in flight, which stays in flight.
void add_traceback(const Frame& frame) noexcept;

// The module definition every deliverable exports through its PyInit function.
PyModuleDef module_definition(const char* short_name, const char* doc) noexcept;

} // namespace pel
