// pellandor.brimsett: the capability gate over the core's handshake().
//
// Each function below is written as the module's Python source reads, statement by statement; the
// number given to `frame.line` is the source line a failure of that statement reports.
#include "binder.hpp"
#include "code.hpp"
#include "services.hpp"

namespace {

using namespace pel;

const char module_doc[] = "\nCapability enforcement for the Rust core extension.\n\n"
                          "Reads handshake() once and caches the result. Entry points call\n"
                          "require_capability() to fail fast when a needed capability is missing.\n";

struct Constants {
    Text require_capability_doc = "Raise RuntimeError if the named capability is not available.";
    Text missing_prefix = "Rust core capability '";
    Text required_for = "' required for ";
    Text not_found = " but not found. Available: ";
    Text rebuild_hint = ". Rebuild the Rust extension: maturin develop --release";
    Text set_of_str = "set[str]";
    Text str_ = "str";
    Text none_ = "None";

    Name json = "json";
    Name logging = "logging";
    Name getLogger = "getLogger";
    Name logger = "logger";
    Name module_name = "__name__";
    Name cached_capabilities = "_cached_capabilities";
    Name load_capabilities = "_load_capabilities";
    Name require_capability = "require_capability";
    Name pellandor_core_py = "pellandor_core_py";
    Name handshake = "handshake";
    Name loads = "loads";
    Name resp = "resp";
    Name get = "get";
    Name capabilities = "capabilities";
    Name name = "name";
    Name context = "context";
    Name caps = "caps";
    Name return_ = "return";
} k;

// def _load_capabilities() -> set[str]:
Owned load_capabilities(Frame& frame) {
    // global _cached_capabilities
    frame.line = 18; // if _cached_capabilities is not None:
    if (global(k.cached_capabilities).get() != Py_None) {
        frame.line = 19; // return _cached_capabilities
        return expect_exact(global(k.cached_capabilities), &PySet_Type, "set");
    }
    try {
        frame.line = 21; // import pellandor_core_py
        Owned pellandor_core_py = import(k.pellandor_core_py);

        frame.line = 23; // resp = json.loads(pellandor_core_py.handshake())
        Owned loads = getattr(global(k.json), k.loads);
        Owned resp = call(loads, call(getattr(pellandor_core_py, k.handshake)));

        frame.line = 24; // _cached_capabilities = set(resp.get("capabilities", []))
        Owned listed = call_method(resp, k.get, k.capabilities, check(PyList_New(0)));
        Owned capabilities = check(PySet_New(listed));
        set_global(k.cached_capabilities, capabilities);
    } catch (const PythonError&) {
        if (!exception_matches(PyExc_ImportError))
            throw; // except ImportError:
        ExceptionHandler handler(frame);
        frame.line = 26; // _cached_capabilities = set()
        set_global(k.cached_capabilities, check(PySet_New(nullptr)));
    }
    frame.line = 27; // return _cached_capabilities
    return expect_exact(global(k.cached_capabilities), &PySet_Type, "set");
}

const Name* const load_capabilities_locals[] = {&k.pellandor_core_py, &k.resp};
const Annotation load_capabilities_annotations[] = {{k.return_, k.set_of_str}};
FunctionDef load_capabilities_def = {
    .name = k.load_capabilities,
    .qualname = "_load_capabilities",
    .first_line = 16,
    .binding = binding<load_capabilities>,
    .doc = nullptr,
    .locals = load_capabilities_locals,
    .annotations = load_capabilities_annotations,
};

// def require_capability(name: str, context: str) -> None:
Owned require_capability(Frame& frame, PyObject* name, PyObject* context) {
    frame.line = 32; // caps = _load_capabilities()
    Owned caps = call(global(k.load_capabilities));

    frame.line = 33; // if name in caps: return
    if (contains(caps, name))
        return none();

    // raise RuntimeError(
    //     f"Rust core capability '{name}' required for {context} "
    //     f"but not found. Available: {sorted(caps)}. "
    //     "Rebuild the Rust extension: maturin develop --release"
    // )
    frame.line = 35;
    Owned name_text = format_field(name);
    Owned context_text = format_field(context);
    frame.line = 36;
    Owned available = check(PySequence_List(caps));
    check(PyList_Sort(available));
    Owned available_text = format_field(available);
    frame.line = 35;
    Owned message = join({k.missing_prefix, name_text, k.required_for, context_text, k.not_found,
                          available_text, k.rebuild_hint});
    frame.line = 34;
    return raise(call(PyExc_RuntimeError, message));
}

constexpr Parameter require_capability_parameters[] = {
    {k.name, Declared::str},
    {k.context, Declared::str},
};
const Name* const require_capability_locals[] = {&k.caps};
const Annotation require_capability_annotations[] = {
    {k.name, k.str_},
    {k.context, k.str_},
    {k.return_, k.none_},
};
FunctionDef require_capability_def = {
    .name = k.require_capability,
    .qualname = "require_capability",
    .first_line = 30,
    .binding = binding<require_capability, require_capability_parameters>,
    .doc = &k.require_capability_doc,
    .locals = require_capability_locals,
    .annotations = require_capability_annotations,
};

// The module's top-level statements.
void module_body(Frame& frame) {
    frame.line = 8; // import json
    set_global(k.json, import(k.json));
    frame.line = 9; // import logging
    set_global(k.logging, import(k.logging));
    frame.line = 11; // logger = logging.getLogger(__name__)
    set_global(k.logger, call(getattr(global(k.logging), k.getLogger), global(k.module_name)));
    frame.line = 13; // _cached_capabilities: set[str] | None = None
    set_global(k.cached_capabilities, Py_None);
    // def _load_capabilities() -> set[str]: ...
    define_global(frame, load_capabilities_def);
    // def require_capability(name: str, context: str) -> None: ...
    define_global(frame, require_capability_def);
}

PyModuleDef definition = module_definition("brimsett", module_doc);

} // namespace

const pel::ModuleInfo pel::this_module = {
    .short_name = "brimsett",
    .dotted_name = "pellandor.brimsett",
    .file_name = "src/pellandor/brimsett",
    .body = module_body,
};

PyMODINIT_FUNC PyInit_brimsett() noexcept {
    return PyModuleDef_Init(&definition);
}
