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
    int line = 0;          // source line of the parameter, where an `int` coercion failure is reported
    bool optional = false; // has a default; every default of this system is None
};

struct Annotation {
    const Name& key;
    const Text& text;
};

// How a function takes its arguments, derived from its body and its parameter table together
// (`binding<Body, parameters>` in binder.hpp), so that the two cannot disagree.
struct Binding {
    vectorcallfunc entry; // no_arguments<Body> or with_arguments<Body, parameters>
    std::span<const Parameter> parameters;
    int required;      // parameters without a default
    bool coerces;      // some parameter is declared int
    bool checks_types; // some parameter is declared with a built-in type
};

struct FunctionDef;

// Links the definition that holds it into the module's list during static initialisation, as
// constants register themselves; the exec step makes every registered definition's code object.
class Registration {
public:
    explicit Registration(FunctionDef* def) noexcept;
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    // Makes the code objects of every registered definition, in declaration order.
    static void create_all_code();

private:
    FunctionDef* def_;
    Registration* next_ = nullptr;
};

// The one declaration of a function. Code objects and defaults are made by the exec step.
struct FunctionDef {
    const Name& name;     // the name the function is bound to
    const char* qualname; // "SparseEmbeddingService.embed_single"
    int first_line;       // the line of its `def`, where the statement that makes it runs
    Binding binding;
    const Text* doc;
    std::span<const Name* const> locals;
    std::span<const Annotation> annotations;

    PyObject* code = nullptr;
    PyObject* defaults = nullptr; // the tuple binding uses; never replaced by __defaults__ writes
    Registration registration{this};

    // The short name of every binding message (the constant's text, which ends in a null).
    const char* short_name() const noexcept { return name.text().data(); }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* weakrefs;
    PyObject* name; // made on first read
    PyObject* qualname;
    PyObject* doc; // made on first read
    bool doc_made;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* is_coroutine; // made on first read
};

// `def name(...)`: a new function object for `def`, with its annotations and defaults, made at the
// line of its definition, ready to be bound.
Owned make_function(Frame& frame, const FunctionDef& def);
// The same, bound as the module global of the function's name, or in a class namespace under it.
void define_global(Frame& frame, const FunctionDef& def);
void define_method(Frame& frame, Ref namespace_, const FunctionDef& def);

// The type's specification, for the registry.
extern PyType_Spec function_type_spec;

} // namespace pel

namespace pel {

inline FunctionObject* as_function(PyObject* object) noexcept {
    return reinterpret_cast<FunctionObject*>(object);
}

} // namespace pel
