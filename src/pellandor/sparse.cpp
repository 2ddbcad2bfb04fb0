// pellandor.sparse: the sparse (BM25-style) embedding service around the native core.
//
// Written as the module's Python source reads, statement by statement; the number given to
// `frame.line` is the source line a failure of that statement reports.
#include "binder.hpp"
#include "code.hpp"
#include "services.hpp"

namespace {

using namespace pel;

const char module_doc[] =
    "\nSparse embedding service using Rust pellandor-core for BM25-style sparse vectors.\n\n"
    "This module provides deterministic, bounded-latency sparse embeddings with\n"
    "code-aware tokenization (camelCase/snake_case splitting) implemented in Rust.\n";

struct Constants {
    Text sparse_result_doc = "Sparse embedding result with plain Python lists.";
    Text service_doc = "\n    Sparse embeddings via Rust pellandor-core.\n\n"
                       "    Uses deterministic tokenization and log-TF weighting. The Rust backend\n"
                       "    releases the GIL during computation, so it's safe to call from async\n"
                       "    executor contexts.\n    ";
    Text profile_version_doc = "Return the profile version string for cache tagging.";
    Text embed_single_doc = "Embed a single text into a sparse vector.";
    Text embed_batch_doc = "Embed a batch of texts into sparse vectors.";
    Text embed_batch_list_doc = "Embed a batch of texts and return as a list (batch_size ignored).";
    Text get_sparse_service_doc = "Get or create the sparse embedding service singleton.";
    Text reset_sparse_service_doc = "Reset the sparse service singleton (for testing).";
    Text log_format = "Sparse embedding: using Rust backend (profile=%s)";
    Text list_of_int = "list[int]";
    Text list_of_float = "list[float]";
    Text bool_or_none = "bool | None";
    Text int_or_none = "int | None";
    Text none_ = "None";
    Text str_ = "str";
    Text list_of_str = "list[str]";
    Text sparse_result_text = "SparseResult";
    Text list_of_sparse_result = "list[SparseResult]";
    Text service_text = "SparseEmbeddingService";

    Name json = "json";
    Name logging = "logging";
    Name dataclasses = "dataclasses";
    Name dataclass = "dataclass";
    Name pellandor_core_py = "pellandor_core_py";
    Name pellandor_config = "pellandor.config";
    Name settings = "settings";
    Name getLogger = "getLogger";
    Name logger = "logger";
    Name module_name = "__name__";
    Name SparseResult = "SparseResult";
    Name SparseEmbeddingService = "SparseEmbeddingService";
    Name sparse_service = "_sparse_service";
    Name get_sparse_service = "get_sparse_service";
    Name reset_sparse_service = "reset_sparse_service";
    Name annotations = "__annotations__";
    Name init = "__init__";
    Name profile_version = "profile_version";
    Name embed_single = "embed_single";
    Name embed_batch = "embed_batch";
    Name embed_batch_list = "embed_batch_list";
    Name dumps = "dumps";
    Name loads = "loads";
    Name info = "info";
    Name profile_json = "_profile_json";
    Name sparse_profile_version = "sparse_profile_version";
    Name sparse_max_text_chars = "sparse_max_text_chars";
    Name code_pretokenize = "code_pretokenize";
    Name sparse_embed_single = "sparse_embed_single";
    Name sparse_embed_batch = "sparse_embed_batch";
    Name version = "version";
    Name max_text_chars = "max_text_chars";
    Name min_token_len = "min_token_len";
    Name indices = "indices";
    Name values = "values";
    Name truncated = "truncated";
    Name original_chars = "original_chars";
    Name used_chars = "used_chars";
    Name embeddings = "embeddings";
    Name self = "self";
    Name text = "text";
    Name texts = "texts";
    Name batch_size = "batch_size";
    Name result_json = "result_json";
    Name result = "result";
    Name texts_json = "texts_json";
    Name batch = "batch";
    Name e = "e";
    Name return_ = "return";
    Names result_keywords = "indices values truncated original_chars used_chars";
    Integer two = 2;
    Builtin property = "property";
} k;

// ---------------------------------------------------------------------------------------------------
// @dataclass
// class SparseResult:
//     """Sparse embedding result with plain Python lists."""
//     indices: list[int]
//     values: list[float]
//     truncated: bool | None = None
//     original_chars: int | None = None
//     used_chars: int | None = None

Owned make_sparse_result(Frame& frame) {
    frame.line = 19; // @dataclass
    Owned decorator = global(k.dataclass);

    frame.line = 20; // class SparseResult:
    Owned body = class_namespace(k.SparseResult, k.sparse_result_doc);
    Owned annotations = check(PyDict_New());
    set_item(body, k.annotations, annotations);
    set_item(annotations, k.indices, k.list_of_int);
    set_item(annotations, k.values, k.list_of_float);
    set_item(annotations, k.truncated, k.bool_or_none);
    frame.line = 25;
    set_item(body, k.truncated, Py_None);
    frame.line = 20;
    set_item(annotations, k.original_chars, k.int_or_none);
    frame.line = 26;
    set_item(body, k.original_chars, Py_None);
    frame.line = 20;
    set_item(annotations, k.used_chars, k.int_or_none);
    frame.line = 27;
    set_item(body, k.used_chars, Py_None);
    frame.line = 20;
    Owned cls = make_class(k.SparseResult, record.empty_tuple, body);

    frame.line = 19;
    return call(decorator, cls);
}

// ---------------------------------------------------------------------------------------------------
// class SparseEmbeddingService:

// A record from one decoded embedding object:
// SparseResult(indices=e["indices"], values=e["values"], truncated=e.get("truncated"),
//              original_chars=e.get("original_chars"), used_chars=e.get("used_chars"))
// `first_line` is the line of the call; each member is read on the line after the previous one.
Owned sparse_result_from(Frame& frame, int first_line, Ref embedding) {
    frame.line = first_line;
    Owned record_type = global(k.SparseResult);
    frame.line = first_line + 1;
    Owned indices = subscript(embedding, k.indices);
    frame.line = first_line + 2;
    Owned values = subscript(embedding, k.values);
    frame.line = first_line + 3;
    Owned truncated = get_or_none(embedding, k.truncated);
    frame.line = first_line + 4;
    Owned original_chars = get_or_none(embedding, k.original_chars);
    frame.line = first_line + 5;
    Owned used_chars = get_or_none(embedding, k.used_chars);
    frame.line = first_line;
    return call_with_keywords(record_type, {indices, values, truncated, original_chars, used_chars},
                              k.result_keywords);
}

// def __init__(self) -> None:
Owned init(Frame& frame, PyObject* self) {
    frame.line = 40; // self._profile_json = json.dumps(
    Owned dumps = getattr(global(k.json), k.dumps);
    frame.line = 41; // {"version": settings.sparse_profile_version,
    Owned profile = new_dict(4);
    set_item(profile, k.version, getattr(global(k.settings), k.sparse_profile_version));
    frame.line = 42; //  "max_text_chars": settings.sparse_max_text_chars,
    Owned max_text_chars = getattr(global(k.settings), k.sparse_max_text_chars);
    frame.line = 41;
    set_item(profile, k.max_text_chars, max_text_chars);
    frame.line = 43; //  "code_pretokenize": settings.code_pretokenize,
    Owned code_pretokenize = getattr(global(k.settings), k.code_pretokenize);
    frame.line = 41;
    set_item(profile, k.code_pretokenize, code_pretokenize);
    set_item(profile, k.min_token_len, k.two); //  "min_token_len": 2}
    frame.line = 40;                           // )
    setattr(self, k.profile_json, call(dumps, profile));

    frame.line = 46; // logger.info(
    Owned info = getattr(global(k.logger), k.info);
    frame.line = 48; //     settings.sparse_profile_version,
    Owned version = getattr(global(k.settings), k.sparse_profile_version);
    frame.line = 46; //     "Sparse embedding: using Rust backend (profile=%s)", ...)
    call(info, k.log_format, version);
    return none();
}

// @property
// def profile_version(self) -> str:
Owned profile_version(Frame& frame, PyObject*) {
    frame.line = 54; // return settings.sparse_profile_version
    return expect_exact(getattr(global(k.settings), k.sparse_profile_version), &PyUnicode_Type, "str");
}

// def embed_single(self, text: str) -> SparseResult:
Owned embed_single(Frame& frame, PyObject* self, PyObject* text) {
    frame.line = 58; // result_json = pellandor_core_py.sparse_embed_single(text, self._profile_json)
    Owned embed = getattr(global(k.pellandor_core_py), k.sparse_embed_single);
    Owned result_json = call(embed, text, getattr(self, k.profile_json));
    frame.line = 59; // result = json.loads(result_json)
    Owned result = call(getattr(global(k.json), k.loads), result_json);
    // return SparseResult(indices=result["indices"], ...)
    return sparse_result_from(frame, 60, result);
}

// def embed_batch(self, texts: list[str]) -> list[SparseResult]:
Owned embed_batch(Frame& frame, PyObject* self, PyObject* texts) {
    if (PyList_GET_SIZE(texts) == 0) { // if not texts:
        frame.line = 71;               // return []
        return check(PyList_New(0));
    }
    frame.line = 72; // texts_json = json.dumps(texts)
    Owned texts_json = call(getattr(global(k.json), k.dumps), texts);
    frame.line = 73; // result_json = pellandor_core_py.sparse_embed_batch(texts_json, self._profile_json)
    Owned embed = getattr(global(k.pellandor_core_py), k.sparse_embed_batch);
    Owned result_json = call(embed, texts_json, getattr(self, k.profile_json));
    frame.line = 74; // batch = json.loads(result_json)
    Owned batch = call(getattr(global(k.json), k.loads), result_json);

    frame.line = 75; // return [
    Owned results = check(PyList_New(0));
    frame.line = 83; //     for e in batch["embeddings"]
    Owned embeddings = iterate(subscript(batch, k.embeddings));
    while (Owned e = next_item(embeddings)) {
        Owned entry = sparse_result_from(frame, 76, e); // SparseResult(indices=e["indices"], ...)
        frame.line = 75;
        check(PyList_Append(results, entry));
        frame.line = 83;
    }
    return results; // ]
}

// def embed_batch_list(self, texts: list[str], batch_size: int | None = None) -> list[SparseResult]:
Owned embed_batch_list(Frame& frame, PyObject* self, PyObject* texts, PyObject*) {
    frame.line = 90; // return self.embed_batch(texts)
    return expect_exact(call_method(self, k.embed_batch, texts), &PyList_Type, "list");
}

// ---------------------------------------------------------------------------------------------------
// Function definitions: parameters, local names, annotations and source lines.

constexpr Parameter self_only[] = {{k.self}};

const Annotation init_annotations[] = {{k.return_, k.none_}};
FunctionDef init_def = {
    .name = k.init,
    .qualname = "SparseEmbeddingService.__init__",
    .first_line = 39,
    .binding = binding<init, self_only>,
    .doc = nullptr,
    .locals = {},
    .annotations = init_annotations,
};

const Annotation profile_version_annotations[] = {{k.return_, k.str_}};
FunctionDef profile_version_def = {
    .name = k.profile_version,
    .qualname = "SparseEmbeddingService.profile_version",
    .first_line = 51,
    .binding = binding<profile_version, self_only>,
    .doc = &k.profile_version_doc,
    .locals = {},
    .annotations = profile_version_annotations,
};

constexpr Parameter embed_single_parameters[] = {{k.self}, {k.text, Declared::str}};
const Name* const embed_single_locals[] = {&k.result_json, &k.result};
const Annotation embed_single_annotations[] = {{k.text, k.str_}, {k.return_, k.sparse_result_text}};
FunctionDef embed_single_def = {
    .name = k.embed_single,
    .qualname = "SparseEmbeddingService.embed_single",
    .first_line = 56,
    .binding = binding<embed_single, embed_single_parameters>,
    .doc = &k.embed_single_doc,
    .locals = embed_single_locals,
    .annotations = embed_single_annotations,
};

constexpr Parameter embed_batch_parameters[] = {{k.self}, {k.texts, Declared::list}};
const Name* const embed_batch_locals[] = {&k.texts_json, &k.result_json, &k.batch, &k.e};
const Annotation embed_batch_annotations[] = {{k.texts, k.list_of_str}, {k.return_, k.list_of_sparse_result}};
FunctionDef embed_batch_def = {
    .name = k.embed_batch,
    .qualname = "SparseEmbeddingService.embed_batch",
    .first_line = 68,
    .binding = binding<embed_batch, embed_batch_parameters>,
    .doc = &k.embed_batch_doc,
    .locals = embed_batch_locals,
    .annotations = embed_batch_annotations,
};

constexpr Parameter embed_batch_list_parameters[] = {
    {k.self},
    {k.texts, Declared::list},
    {.name = k.batch_size, .type = Declared::int_, .none_allowed = true, .line = 87, .optional = true},
};
const Annotation embed_batch_list_annotations[] = {
    {k.texts, k.list_of_str},
    {k.batch_size, k.int_or_none},
    {k.return_, k.list_of_sparse_result},
};
FunctionDef embed_batch_list_def = {
    .name = k.embed_batch_list,
    .qualname = "SparseEmbeddingService.embed_batch_list",
    .first_line = 86,
    .binding = binding<embed_batch_list, embed_batch_list_parameters>,
    .doc = &k.embed_batch_list_doc,
    .locals = {},
    .annotations = embed_batch_list_annotations,
};

Owned make_service_class(Frame& frame) {
    frame.line = 30; // class SparseEmbeddingService:
    Owned body = class_namespace(k.SparseEmbeddingService, k.service_doc);
    // def __init__(self) -> None: ...
    define_method(frame, body, init_def);
    // @property def profile_version(self) -> str: ...
    set_item(body, profile_version_def.name, call(k.property, make_function(frame, profile_version_def)));
    // def embed_single(self, text: str) -> SparseResult: ...
    define_method(frame, body, embed_single_def);
    // def embed_batch(self, texts: list[str]) -> list[SparseResult]: ...
    define_method(frame, body, embed_batch_def);
    // def embed_batch_list(self, texts: list[str], batch_size: int | None = None) -> list[SparseResult]: ...
    define_method(frame, body, embed_batch_list_def);
    frame.line = 30;
    return make_class(k.SparseEmbeddingService, record.empty_tuple, body);
}

// ---------------------------------------------------------------------------------------------------
// The service singleton.

// def get_sparse_service() -> SparseEmbeddingService:
Owned get_sparse_service(Frame& frame) {
    // global _sparse_service
    frame.line = 100; // if _sparse_service is None:
    if (global(k.sparse_service).get() == Py_None) {
        frame.line = 101; // _sparse_service = SparseEmbeddingService()
        set_global(k.sparse_service, call(global(k.SparseEmbeddingService)));
    }
    frame.line = 102; // return _sparse_service
    return global(k.sparse_service);
}

const Annotation get_sparse_service_annotations[] = {{k.return_, k.service_text}};
FunctionDef get_sparse_service_def = {
    .name = k.get_sparse_service,
    .qualname = "get_sparse_service",
    .first_line = 97,
    .binding = binding<get_sparse_service>,
    .doc = &k.get_sparse_service_doc,
    .locals = {},
    .annotations = get_sparse_service_annotations,
};

// def reset_sparse_service() -> None:
Owned reset_sparse_service(Frame& frame) {
    // global _sparse_service
    frame.line = 108; // _sparse_service = None
    set_global(k.sparse_service, Py_None);
    return none();
}

const Annotation reset_sparse_service_annotations[] = {{k.return_, k.none_}};
FunctionDef reset_sparse_service_def = {
    .name = k.reset_sparse_service,
    .qualname = "reset_sparse_service",
    .first_line = 105,
    .binding = binding<reset_sparse_service>,
    .doc = &k.reset_sparse_service_doc,
    .locals = {},
    .annotations = reset_sparse_service_annotations,
};

// ---------------------------------------------------------------------------------------------------
// The module's top-level statements.

void module_body(Frame& frame) {
    frame.line = 8; // import json
    set_global(k.json, import(k.json));
    frame.line = 9; // import logging
    set_global(k.logging, import(k.logging));
    frame.line = 10; // from dataclasses import dataclass
    set_global(k.dataclass, import_from(import(k.dataclasses, {k.dataclass}), k.dataclass));
    frame.line = 12; // import pellandor_core_py
    set_global(k.pellandor_core_py, import(k.pellandor_core_py));
    frame.line = 14; // from pellandor.config import settings
    set_global(k.settings, import_from(import(k.pellandor_config, {k.settings}), k.settings));
    frame.line = 16; // logger = logging.getLogger(__name__)
    set_global(k.logger, call(getattr(global(k.logging), k.getLogger), global(k.module_name)));

    Owned sparse_result = make_sparse_result(frame); // @dataclass class SparseResult: ...
    frame.line = 20;
    set_global(k.SparseResult, sparse_result);

    Owned service = make_service_class(frame); // class SparseEmbeddingService: ...
    frame.line = 30;
    set_global(k.SparseEmbeddingService, service);

    frame.line = 94; // _sparse_service: SparseEmbeddingService | None = None
    set_global(k.sparse_service, Py_None);
    // def get_sparse_service() -> SparseEmbeddingService: ...
    define_global(frame, get_sparse_service_def);
    // def reset_sparse_service() -> None: ...
    define_global(frame, reset_sparse_service_def);
}

PyModuleDef definition = module_definition("sparse", module_doc);

} // namespace

const pel::ModuleInfo pel::this_module = {
    .short_name = "sparse",
    .dotted_name = "pellandor.sparse",
    .file_name = "src/pellandor/sparse",
    .body = module_body,
};

PyMODINIT_FUNC PyInit_sparse() noexcept {
    return PyModuleDef_Init(&definition);
}
