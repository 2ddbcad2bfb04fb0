// pellandor.mistrel: builds the ScanConfigV2 payload handed to the core's scanner.
//
// Written as the module's Python source reads, statement by statement; the number given to
// `frame.line` is the source line a failure of that statement reports.
#include "binder.hpp"
#include "code.hpp"
#include "services.hpp"

namespace {

using namespace pel;

const char module_doc[] = "\nUnified scan configuration builder for the ignore matcher.\n\n"
                          "Provides a single helper that all Python consumers (pipeline, watcher,\n"
                          "relationships) use to construct ScanConfigV2 payloads for the Rust\n"
                          "ignore-matcher-based scanner.\n";

struct Constants {
    Text build_scan_config_doc =
        "Build a scan config dict for the Rust ignore matcher.\n\n"
        "    Args:\n"
        "        repo_path: Absolute path to the repository root.\n\n"
        "    Returns:\n"
        "        Dict ready for JSON serialization and passing to Rust scan APIs.\n\n"
        "    Raises:\n"
        "        RuntimeError: If ``builtin_ignore_replace`` is True but the Rust\n"
        "            extension lacks the ``IgnoreBuiltinReplace`` capability.\n"
        "    ";
    Text path_annotation = "Path";
    Text payload_annotation = "dict[str, object]";
    Text git_mode = "git+pellandor";
    Text replace_context = "builtin_ignore_replace=True";

    Name pathlib = "pathlib";
    Name Path = "Path";
    Name pellandor_config = "pellandor.config";
    Name settings = "settings";
    Name build_scan_config = "build_scan_config";
    Name repo_path = "repo_path";
    Name return_ = "return";
    Name builtin_ignore_replace = "builtin_ignore_replace";
    Name pellandor_brimsett = "pellandor.brimsett";
    Name require_capability = "require_capability";
    Name ignore_builtin_replace = "ignore_builtin_replace";
    Name repo_root = "repo_root";
    Name builtin_patterns = "builtin_patterns";
    Name builtin_ignore_patterns = "builtin_ignore_patterns";
    Name extra_patterns = "extra_patterns";
    Name extra_ignore_patterns = "extra_ignore_patterns";
    Name ignore_mode = "ignore_mode";
    Name use_gitignore = "use_gitignore";
    Name use_pellandorignore = "use_pellandorignore";
    Name replace_builtin_patterns = "replace_builtin_patterns";
} k;

// `list(iterable)`: a list of its own, never the setting's object.
Owned list_of(Ref iterable) {
    return check(PySequence_List(iterable));
}

Owned text_of(Ref value) {
    return PyUnicode_CheckExact(value.get()) ? Owned::borrow(value) : check(PyObject_Str(value));
}

// def build_scan_config(repo_path: Path) -> dict[str, object]:
Owned build_scan_config(Frame& frame, PyObject* repo_path) {
    frame.line = 27; // if settings.builtin_ignore_replace:
    if (is_true(getattr(global(k.settings), k.builtin_ignore_replace))) {
        frame.line = 28; // from pellandor.brimsett import require_capability
        Owned require_capability =
            import_from(import(k.pellandor_brimsett, {k.require_capability}), k.require_capability);
        frame.line = 30; // require_capability("ignore_builtin_replace", "builtin_ignore_replace=True")
        call(require_capability, k.ignore_builtin_replace, k.replace_context);
    }

    frame.line = 33; // return {
    Owned payload = new_dict(7);
    set_item(payload, k.repo_root, text_of(repo_path)); // "repo_root": str(repo_path),
    frame.line = 34; // "builtin_patterns": list(settings.builtin_ignore_patterns),
    Owned builtin_patterns = list_of(getattr(global(k.settings), k.builtin_ignore_patterns));
    frame.line = 33;
    set_item(payload, k.builtin_patterns, builtin_patterns);
    frame.line = 35; // "extra_patterns": list(settings.extra_ignore_patterns),
    Owned extra_patterns = list_of(getattr(global(k.settings), k.extra_ignore_patterns));
    frame.line = 33;
    set_item(payload, k.extra_patterns, extra_patterns);
    frame.line = 36; // "ignore_mode": settings.ignore_mode,
    Owned ignore_mode = getattr(global(k.settings), k.ignore_mode);
    frame.line = 33;
    set_item(payload, k.ignore_mode, ignore_mode);
    frame.line = 37; // "use_gitignore": settings.ignore_mode == "git+pellandor",
    Owned use_gitignore = equals(getattr(global(k.settings), k.ignore_mode), k.git_mode);
    frame.line = 33;
    set_item(payload, k.use_gitignore, use_gitignore);
    set_item(payload, k.use_pellandorignore, Py_True); // "use_pellandorignore": True,
    frame.line = 39; // "replace_builtin_patterns": settings.builtin_ignore_replace,
    Owned replace = getattr(global(k.settings), k.builtin_ignore_replace);
    frame.line = 33;
    set_item(payload, k.replace_builtin_patterns, replace);
    return payload; // }
}

constexpr Parameter build_scan_config_parameters[] = {{k.repo_path}};
const Name* const build_scan_config_locals[] = {&k.require_capability};
const Annotation build_scan_config_annotations[] = {
    {k.repo_path, k.path_annotation},
    {k.return_, k.payload_annotation},
};
FunctionDef build_scan_config_def = {
    .name = k.build_scan_config,
    .qualname = "build_scan_config",
    .first_line = 14,
    .binding = binding<build_scan_config, build_scan_config_parameters>,
    .doc = &k.build_scan_config_doc,
    .locals = build_scan_config_locals,
    .annotations = build_scan_config_annotations,
};

// The module's top-level statements.
void module_body(Frame& frame) {
    frame.line = 9; // from pathlib import Path
    set_global(k.Path, import_from(import(k.pathlib, {k.Path}), k.Path));
    frame.line = 11; // from pellandor.config import settings
    set_global(k.settings, import_from(import(k.pellandor_config, {k.settings}), k.settings));
    // def build_scan_config(repo_path: Path) -> dict[str, object]: ...
    define_global(frame, build_scan_config_def);
}

PyModuleDef definition = module_definition("mistrel", module_doc);

} // namespace

const pel::ModuleInfo pel::this_module = {
    .short_name = "mistrel",
    .dotted_name = "pellandor.mistrel",
    .file_name = "src/pellandor/mistrel",
    .body = module_body,
};

PyMODINIT_FUNC PyInit_mistrel() noexcept {
    return PyModuleDef_Init(&definition);
}
