// Error categories and ids of the error catalogue: an error's code is
// category * 100 + the id's position in its category.
#pragma once

namespace kez::err {

enum category : int {
  cat_throw = 0,
  cat_note = 1,
  cat_syntax = 2,
  cat_script = 3,
  cat_math = 4,
  cat_access = 5,
  cat_reserved1 = 6,
  cat_reserved2 = 7,
  cat_user = 8,
  cat_internal = 9,
};

namespace throw_ {
enum id : int {
  break_ = 0,  // "break", code 0
  return_ = 1,  // "return", code 1
  throw_ = 2,  // "throw", code 2
  continue_ = 3,  // "continue", code 3
  while_cond = 4,  // "while-cond", code 4
};
}  // namespace throw_

namespace note {
enum id : int {
  no_load = 0,  // "no-load", code 100
};
}  // namespace note

namespace syntax {
enum id : int {
  invalid = 0,  // "invalid", code 200
  missing = 1,  // "missing", code 201
  no_header = 2,  // "no-header", code 202
  no_ks_header = 3,  // "no-ks-header", code 203
  bad_header = 4,  // "bad-header", code 204
  malconstruct = 5,  // "malconstruct", code 205
  bad_char = 6,  // "bad-char", code 206
};
}  // namespace syntax

namespace script {
enum id : int {
  no_value = 0,  // "no-value", code 300
  need_value = 1,  // "need-value", code 301
  not_defined = 2,  // "not-defined", code 302
  not_in_context = 3,  // "not-in-context", code 303
  no_arg = 4,  // "no-arg", code 304
  expect_arg = 5,  // "expect-arg", code 305
  expect_val = 6,  // "expect-val", code 306
  expect_type = 7,  // "expect-type", code 307
  cannot_use = 8,  // "cannot-use", code 308
  invalid_arg = 9,  // "invalid-arg", code 309
  invalid_type = 10,  // "invalid-type", code 310
  invalid_type_spec = 11,  // "invalid-type-spec", code 311
  invalid_key_type = 12,  // "invalid-key-type", code 312
  invalid_op = 13,  // "invalid-op", code 313
  no_op_arg = 14,  // "no-op-arg", code 314
  bad_op_spec = 15,  // "bad-op-spec", code 315
  invalid_data = 16,  // "invalid-data", code 316
  invalid_part = 17,  // "invalid-part", code 317
  not_same_type = 18,  // "not-same-type", code 318
  not_same_class = 19,  // "not-same-class", code 319
  not_related = 20,  // "not-related", code 320
  bad_func_def = 21,  // "bad-func-def", code 321
  bad_func_arg = 22,  // "bad-func-arg", code 322
  bad_func_extern = 23,  // "bad-func-extern", code 323
  no_refine = 24,  // "no-refine", code 324
  bad_refines = 25,  // "bad-refines", code 325
  bad_refine = 26,  // "bad-refine", code 326
  dup_refine = 27,  // "dup-refine", code 327
  word_first = 28,  // "word-first", code 328
  empty_path = 29,  // "empty-path", code 329
  unset_path = 30,  // "unset-path", code 330
  invalid_path = 31,  // "invalid-path", code 331
  invalid_path_set = 32,  // "invalid-path-set", code 332
  invalid_path_get = 33,  // "invalid-path-get", code 333
  bad_path_type = 34,  // "bad-path-type", code 334
  bad_path_type2 = 35,  // "bad-path-type2", code 335
  bad_path_set = 36,  // "bad-path-set", code 336
  bad_field_set = 37,  // "bad-field-set", code 337
  dup_vars = 38,  // "dup-vars", code 338
  past_end = 39,  // "past-end", code 339
  missing_arg = 40,  // "missing-arg", code 340
  out_of_range = 41,  // "out-of-range", code 341
  invalid_chars = 42,  // "invalid-chars", code 342
  invalid_compare = 43,  // "invalid-compare", code 343
  wrong_type = 44,  // "wrong-type", code 344
  invalid_refine_arg = 45,  // "invalid-refine-arg", code 345
  type_limit = 46,  // "type-limit", code 346
  size_limit = 47,  // "size-limit", code 347
  no_return = 48,  // "no-return", code 348
  throw_usage = 49,  // "throw-usage", code 349
  locked_word = 50,  // "locked-word", code 350
  protected_ = 51,  // "protected", code 351
  bad_bad = 52,  // "bad-bad", code 352
  bad_make_arg = 53,  // "bad-make-arg", code 353
  bad_to_arg = 54,  // "bad-to-arg", code 354
  invalid_months = 55,  // "invalid-months", code 355
  invalid_spec_field = 56,  // "invalid-spec-field", code 356
  missing_spec_field = 57,  // "missing-spec-field", code 357
  move_bad = 58,  // "move-bad", code 358
  too_long = 59,  // "too-long", code 359
  invalid_char = 60,  // "invalid-char", code 360
  bad_loop_series = 61,  // "bad-loop-series", code 361
  wrong_denom = 62,  // "wrong-denom", code 362
  bad_denom = 63,  // "bad-denom", code 363
  invalid_obj_evt = 64,  // "invalid-obj-evt", code 364
  parse_rule = 65,  // "parse-rule", code 365
  parse_end = 66,  // "parse-end", code 366
  parse_invalid_ref = 67,  // "parse-invalid-ref", code 367
  parse_block = 68,  // "parse-block", code 368
  parse_unsupported = 69,  // "parse-unsupported", code 369
  parse_infinite = 70,  // "parse-infinite", code 370
  parse_stack = 71,  // "parse-stack", code 371
  parse_keep = 72,  // "parse-keep", code 372
  parse_into_bad = 73,  // "parse-into-bad", code 373
  parse_into_type = 74,  // "parse-into-type", code 374
  draw_invalid = 75,  // "draw-invalid", code 375
  draw_infinite = 76,  // "draw-infinite", code 376
  invalid_data_facet = 77,  // "invalid-data-facet", code 377
  face_type = 78,  // "face-type", code 378
  not_window = 79,  // "not-window", code 379
  bad_window = 80,  // "bad-window", code 380
  not_linked = 81,  // "not-linked", code 381
  not_event_type = 82,  // "not-event-type", code 382
  invalid_facet_type = 83,  // "invalid-facet-type", code 383
  vid_invalid_syntax = 84,  // "vid-invalid-syntax", code 384
  rtd_invalid_syntax = 85,  // "rtd-invalid-syntax", code 385
  rtd_no_match = 86,  // "rtd-no-match", code 386
  react_bad_func = 87,  // "react-bad-func", code 387
  react_not_enough = 88,  // "react-not-enough", code 388
  react_no_match = 89,  // "react-no-match", code 389
  react_bad_obj = 90,  // "react-bad-obj", code 390
  react_gctx = 91,  // "react-gctx", code 391
  lib_invalid_arg = 92,  // "lib-invalid-arg", code 392
  kb_invalid_record = 93,  // "kb-invalid-record", code 393
};
}  // namespace script

namespace math {
enum id : int {
  zero_divide = 0,  // "zero-divide", code 400
  overflow = 1,  // "overflow", code 401
  positive = 2,  // "positive", code 402
};
}  // namespace math

namespace access {
enum id : int {
  cannot_open = 0,  // "cannot-open", code 500
  cannot_close = 1,  // "cannot-close", code 501
  invalid_utf8 = 2,  // "invalid-utf8", code 502
  not_open = 3,  // "not-open", code 503
  no_connect = 4,  // "no-connect", code 504
  no_scheme = 5,  // "no-scheme", code 505
  unknown_scheme = 6,  // "unknown-scheme", code 506
  invalid_spec = 7,  // "invalid-spec", code 507
  invalid_port = 8,  // "invalid-port", code 508
  invalid_actor = 9,  // "invalid-actor", code 509
  no_port_action = 10,  // "no-port-action", code 510
  no_create = 11,  // "no-create", code 511
  no_codec = 12,  // "no-codec", code 512
  bad_media = 13,  // "bad-media", code 513
  invalid_cmd = 14,  // "invalid-cmd", code 514
};
}  // namespace access

namespace user {
enum id : int {
  message = 0,  // "message", code 800
};
}  // namespace user

namespace internal {
enum id : int {
  bad_path = 0,  // "bad-path", code 900
  not_here = 1,  // "not-here", code 901
  no_memory = 2,  // "no-memory", code 902
  wrong_mem = 3,  // "wrong-mem", code 903
  stack_overflow = 4,  // "stack-overflow", code 904
  limit_hit = 5,  // "limit-hit", code 905
  too_deep = 6,  // "too-deep", code 906
  no_cycle = 7,  // "no-cycle", code 907
  feature_na = 8,  // "feature-na", code 908
  not_done = 9,  // "not-done", code 909
  invalid_error = 10,  // "invalid-error", code 910
  routines = 11,  // "routines", code 911
  kez_system = 12,  // "kez-system", code 912
  deprecated = 13,  // "deprecated", code 913
};
}  // namespace internal

const char* category_name(int category);
const char* id_name(int category, int id);

}  // namespace kez::err
