// The frame's function type: what every function and method of module code is, as callers see it.
#pragma once

#include "constants.hpp"
#include "module.hpp"

#include <span>

namespace pel {

// Built-in types a parameter may be declared with; those arguments are checked for the exact type.
enum class Declared : unsigned char { any, str, list, int_ };

struct Parameter {
    const Name& name;
    Declared type = Declared::any;
    bool none_allowed = false;
    int line = 0;  // source line of the parameter, where an `int` coercion failure is reported
};

struct Annotation {
    const Name& key;
    const Text& text;
};

// The static description of one function. Code objects and defaults are made by the exec step.
struct FunctionDef {
    const char* name;      // short name, used in every binding message
    const char* qualname;  // "SparseEmbeddingService.embed_single"
    int first_line;
    vectorcallfunc entry;  // no_arguments<Body> or with_arguments<Body>
    const Text* doc;
    std::span<const Parameter> parameters;
    int required;  // parameters without a default; every default of this system is None
    std::span<const Name* const> locals;
    std::span<const Annotation> annotations;

    PyObject* code = nullptr;
    PyObject* defaults = nullptr;  // the tuple binding uses; never replaced by __defaults__ writes
    bool coerces = false;          // some parameter is declared int
    bool checks_types = false;     // some parameter is declared with a built-in type
    // The exact type each parameter must have on the fast path (null: any), up to eight parameters.
    PyTypeObject* exact_types[8] = {};
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* weakrefs;
    PyObject* name;          // made on first read
    PyObject* qualname;
    PyObject* doc;           // made on first read
    bool doc_made;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* is_coroutine;  // made on first read
};

// A new function object for `def`, with its annotations and defaults, ready to be bound.
Owned make_function(const FunctionDef& def);

// The type's specification, for the registry.
extern PyType_Spec function_type_spec;

}  // namespace pel

namespace pel {

inline FunctionObject* as_function(PyObject* object) noexcept { return reinterpret_cast<FunctionObject*>(object); }

}  // namespace pel
