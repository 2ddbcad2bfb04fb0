// Module constants: texts, identifiers and small integers made once by the exec step.
//
// A module declares its constants as members of one static struct (`k`), in the order the module
// uses them. Each member registers itself at load time; the exec step creates the objects, interns
// the identifiers and computes every hash once, so keyword names match by identity and lookups never
// hash again.
#pragma once

#include "internals.hpp"
#include "ref.hpp"

#include <cstdint>
#include <string_view>

namespace pel {

class Constant {
public:
    enum class Kind : std::uint8_t { text, identifier, integer, builtin, names };

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

    // The identifier itself for a cached builtin (its value is `get()`).
    PyObject* name() const noexcept { return name_; }
    std::string_view text() const noexcept { return text_; }

    // Creates (or re-creates, after a failed exec) every registered constant, in declaration
    // order; cached builtins are resolved separately, after the shared types.
    static void create_all();
    static void resolve_builtins(PyObject* builtins);

protected:
    Constant(Kind kind, std::string_view text, long long value = 0) noexcept;

private:
    void create();

    Kind kind_;
    std::string_view text_;
    long long value_;
    PyObject* object_ = nullptr;
    PyObject* name_ = nullptr;
    Constant* next_ = nullptr;
};

// A text that is not an identifier: a docstring, a message piece, an annotation. Not interned.
struct Text : Constant {
    Text(const char* text) noexcept : Constant(Kind::text, text) {}
};

// A name of a global, attribute, argument or key: interned.
struct Name : Constant {
    Name(const char* text) noexcept : Constant(Kind::identifier, text) {}

    // The last value read for this name as a global, and the module dict's version tag then.
    mutable PyObject* remembered = nullptr;
    mutable std::uint64_t remembered_at = internals::no_dict_version;
};

struct Integer : Constant {
    Integer(long long value) noexcept : Constant(Kind::integer, {}, value) {}
};

// A tuple of identifiers, written as one space-separated text: the keyword names of a call.
struct Names : Constant {
    Names(const char* names) noexcept : Constant(Kind::names, names) {}
};

// A builtin resolved once at exec (the module reads it at every use without a lookup).
struct Builtin : Constant {
    Builtin(const char* name) noexcept : Constant(Kind::builtin, name) {}
};

} // namespace pel
