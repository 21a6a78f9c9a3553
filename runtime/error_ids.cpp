#include "runtime/error_ids.h"

namespace kez::err {

namespace {
const char* const categories[] = {"throw", "note", "syntax", "script", "math", "access", "reserved1", "reserved2", "user", "internal"};
const char* const ids_throw[] = {"break", "return", "throw", "continue", "while-cond"};
const char* const ids_note[] = {"no-load"};
const char* const ids_syntax[] = {"invalid", "missing", "no-header", "no-ks-header", "bad-header", "malconstruct", "bad-char"};
const char* const ids_script[] = {"no-value", "need-value", "not-defined", "not-in-context", "no-arg", "expect-arg", "expect-val", "expect-type", "cannot-use", "invalid-arg", "invalid-type", "invalid-type-spec", "invalid-key-type", "invalid-op", "no-op-arg", "bad-op-spec", "invalid-data", "invalid-part", "not-same-type", "not-same-class", "not-related", "bad-func-def", "bad-func-arg", "bad-func-extern", "no-refine", "bad-refines", "bad-refine", "dup-refine", "word-first", "empty-path", "unset-path", "invalid-path", "invalid-path-set", "invalid-path-get", "bad-path-type", "bad-path-type2", "bad-path-set", "bad-field-set", "dup-vars", "past-end", "missing-arg", "out-of-range", "invalid-chars", "invalid-compare", "wrong-type", "invalid-refine-arg", "type-limit", "size-limit", "no-return", "throw-usage", "locked-word", "protected", "bad-bad", "bad-make-arg", "bad-to-arg", "invalid-months", "invalid-spec-field", "missing-spec-field", "move-bad", "too-long", "invalid-char", "bad-loop-series", "wrong-denom", "bad-denom", "invalid-obj-evt", "parse-rule", "parse-end", "parse-invalid-ref", "parse-block", "parse-unsupported", "parse-infinite", "parse-stack", "parse-keep", "parse-into-bad", "parse-into-type", "draw-invalid", "draw-infinite", "invalid-data-facet", "face-type", "not-window", "bad-window", "not-linked", "not-event-type", "invalid-facet-type", "vid-invalid-syntax", "rtd-invalid-syntax", "rtd-no-match", "react-bad-func", "react-not-enough", "react-no-match", "react-bad-obj", "react-gctx", "lib-invalid-arg", "kb-invalid-record"};
const char* const ids_math[] = {"zero-divide", "overflow", "positive"};
const char* const ids_access[] = {"cannot-open", "cannot-close", "invalid-utf8", "not-open", "no-connect", "no-scheme", "unknown-scheme", "invalid-spec", "invalid-port", "invalid-actor", "no-port-action", "no-create", "no-codec", "bad-media", "invalid-cmd"};
const char* const ids_reserved1[] = {nullptr};
const char* const ids_reserved2[] = {nullptr};
const char* const ids_user[] = {"message"};
const char* const ids_internal[] = {"bad-path", "not-here", "no-memory", "wrong-mem", "stack-overflow", "limit-hit", "too-deep", "no-cycle", "feature-na", "not-done", "invalid-error", "routines", "kez-system", "deprecated"};
struct row { const char* const* ids; int count; };
const row rows[] = {{ids_throw, 5}, {ids_note, 1}, {ids_syntax, 7}, {ids_script, 94}, {ids_math, 3}, {ids_access, 15}, {ids_reserved1, 0}, {ids_reserved2, 0}, {ids_user, 1}, {ids_internal, 14}};
}  // namespace

const char* category_name(int category) {
  return category >= 0 && category < int(sizeof categories / sizeof *categories) ? categories[category] : nullptr;
}

const char* id_name(int category, int id) {
  if (!category_name(category) || id < 0 || id >= rows[category].count) return nullptr;
  return rows[category].ids[id];
}

}  // namespace kez::err
