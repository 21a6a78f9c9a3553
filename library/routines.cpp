// The library's global routines: C++ bodies behind routine! values, for what
// the language cannot reach itself (quiet assignment, bit shifts, the current
// directory, tuples from integers, the evaluation stack, standard output) and
// the Kezbin codec. Plain routines get integer! and logic! arguments as
// numbers; raw ones get their argument cells and answer a result cell.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "library/library.h"
#include "platform/os.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/error_ids.h"
#include "runtime/kezbin.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"
#include "runtime/trace.h"
#include "runtime/words.h"

namespace kez::library {

namespace {

const cell unset_value{TYPE_UNSET, 0, 0, 0};
const cell none_value{TYPE_NONE, 0, 0, 0};

inline cell* param(uint64_t p) { return reinterpret_cast<cell*>(uintptr_t(p)); }
inline uint64_t answer(const cell* c) { return reinterpret_cast<uintptr_t>(c); }
inline int32_t int_param(uint64_t p) { return int32_t(int64_t(p)); }

// The name of the routine being run, for its own argument errors.
cell routine_name() {
  const stack::frame* f = stack::ctop - 1;
  return cell{TYPE_WORD, f->word_context, f->symbol(), uint32_t(-1)};
}

[[noreturn]] void expect_arg(const cell* value, const char* argument) {
  cell name = routine_name(), kind, arg{TYPE_WORD, 0, symbol::make(argument), uint32_t(-1)};
  datatype::make_at(&kind, type_of(value));
  error::fire(err::cat_script, err::script::expect_arg, &name, &kind, &arg);
}

uint64_t r_quit_return(const uint64_t* p) {
  runtime::on_quit();
  std::_Exit(int_param(p[0]) & 0xFF);
}

uint64_t r_set_quiet(const uint64_t* p) {
  cell* word = param(p[0]);
  uint32_t t = type_of(word);
  if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD) expect_arg(word, "word");
  *context::get(word) = *param(p[1]);
  return answer(param(p[1]));
}

uint64_t r_set_slot_quiet(const uint64_t* p) {
  cell* series = param(p[0]);
  uint32_t t = type_of(series);
  if (t != TYPE_BLOCK && t != TYPE_PAREN && t != TYPE_PATH && t != TYPE_LIT_PATH && t != TYPE_SET_PATH &&
      t != TYPE_GET_PATH)
    expect_arg(series, "series");
  series_buffer* b = memory::buffer_of(series->w2);
  cell* at = b->head_cell() + series->w1;
  if (at < b->tail_cell()) *at = *param(p[1]);
  return answer(param(p[1]));
}

int32_t shift(int32_t data, int32_t bits, int kind) {
  if (bits < 0) bits = 0;
  if (kind == 1) return bits > 31 ? 0 : int32_t(uint32_t(data) << bits);
  if (kind == 2) return bits > 31 ? 0 : int32_t(uint32_t(data) >> bits);
  return bits > 31 ? (data < 0 ? -1 : 0) : data >> bits;
}
uint64_t r_shift_right(const uint64_t* p) { return uint32_t(shift(int_param(p[0]), int_param(p[1]), 0)); }
uint64_t r_shift_left(const uint64_t* p) { return uint32_t(shift(int_param(p[0]), int_param(p[1]), 1)); }
uint64_t r_shift_logical(const uint64_t* p) { return uint32_t(shift(int_param(p[0]), int_param(p[1]), 2)); }

uint64_t r_last_lf_q(const uint64_t*) { return console::last_lf_q(); }

uint64_t r_get_current_dir(const uint64_t*) {
  cell* dir = file::get_current_dir(stack::push_cell());
  dir->header = (dir->header & ~FLAG_TYPE_MASK) | TYPE_FILE;
  return answer(dir);
}

uint64_t r_set_current_dir(const uint64_t* p) {
  cell* path = param(p[0]);
  std::string local;
  if (!file::to_local_path(path, local) || !platform::set_current_dir(local.c_str()))
    error::fire(err::cat_access, err::access::cannot_open, path);
  return answer(&unset_value);
}

// Components checked in argument order: a negative one (or, for the 4-byte
// forms, one past 255, which would spill into its neighbour) is invalid-arg.
uint64_t make_tuple(const uint64_t* p, int32_t count, bool wrap) {
  int32_t values[4];
  for (int32_t i = 0; i < count; ++i) {
    int32_t v = int_param(p[i]);
    if (v < 0 || (!wrap && v > 255)) {
      cell bad{TYPE_INTEGER, 0, uint32_t(v), 0};
      error::fire(err::cat_script, err::script::invalid_arg, &bad);
    }
    values[i] = v & 0xFF;
  }
  // No return type declared: the result is left in the frame's first cell.
  tuple::make_at(stack::arguments, values, count);
  return 0;
}
uint64_t r_as_color(const uint64_t* p) { return make_tuple(p, 3, true); }
uint64_t r_as_ipv4(const uint64_t* p) { return make_tuple(p, 4, false); }

// UTF-8 characters from start's position to pos's position, both read in
// start's buffer and neither past its tail.
uint64_t r_count_chars(const uint64_t* p) {
  cell* start = param(p[0]);
  cell* pos = param(p[1]);
  series_buffer* b = memory::buffer_of(start->w2);
  const uint8_t* head = b->head_ptr();
  size_t length = b->used();
  size_t from = std::min<size_t>(start->w1, length), to = std::min<size_t>(pos->w1, length);
  uint32_t count = 0;
  for (size_t i = from; i < to; ++count) {
    uint8_t lead = head[i];
    size_t step = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    i += step;
  }
  return count;
}

// The parent handle of a face realised without a parent.
uint64_t r_make_null_handle(const uint64_t*) {
  handle::box(0, handle::KIND_NULL);
  return 0;
}

uint64_t r_stack_size_q(const uint64_t*) { return uint32_t(stack::top - stack::bottom); }

uint64_t r_pick_stack(const uint64_t* p) {
  int32_t idx = int_param(p[0]);
  stack::arguments[0] = idx > 0 && idx < int32_t(stack::top - stack::bottom) ? stack::bottom[idx - 1] : none_value;
  return 0;
}

uint64_t r_frame_index_q(const uint64_t*) {
  // The caller's frame: this routine's own frame is the top one.
  const stack::frame* f = stack::ctop - 1;
  return f->prev_arguments;
}

uint64_t r_collect_calls(const uint64_t* p) {
  cell blk = *param(p[0]);
  collector::root_cells keep(&blk);
  stack::collect_calls(&blk, 1);
  return answer(param(p[0]));
}

// A do/trace run is in progress (library code, whose own steps are never
// reported, asks from inside it).
uint64_t r_tracing_q(const uint64_t*) { return trace::session; }
uint64_t r_set_tracing(const uint64_t* p) {
  trace::set_switch(p[0] != 0);
  return 0;
}

uint64_t r_interpreted_q(const uint64_t*) {
  // Below this routine's own frame and the caller's.
  for (const stack::frame* f = stack::ctop - 2; f >= stack::ctop_bottom; --f)
    if (f->header & stack::FRAME_INTERPRETED) return 1;
  return 0;
}

uint64_t r_gc_active_q(const uint64_t*) { return collector::enabled(); }
uint64_t r_launch_done(const uint64_t*) {
  resume_stress();
  return 0;
}
uint64_t r_gc_series_cycles(const uint64_t*) { return collector::cycle_count(); }
uint64_t r_gc_nodes_cycles(const uint64_t*) { return collector::node_compaction_count(); }

uint64_t r_set_float_pretty(const uint64_t* p) {
  float_::pretty_q = p[0] != 0;
  return 0;
}

// The image codecs: one encoder per format id (0 BMP, 1 PNG, 2 GIF, 3 JPEG,
// 4 TIFF), one decoder for all.
template <int32_t format>
uint64_t r_image_encode(const uint64_t* p) {
  cell img = *param(p[0]), where = *param(p[1]);
  collector::root_cells keep(&img), keep_where(&where);
  return answer(image::save_value(stack::push_cell(), &img, &where, format));
}
uint64_t r_image_decode(const uint64_t* p) {
  cell data = *param(p[0]);
  collector::root_cells keep(&data);
  return answer(image::decode(stack::push_cell(), &data));
}

uint64_t r_kezbin_encode_star(const uint64_t* p) {
  return answer(kezbin::encode_star(param(p[0]), type_of(param(p[1])) == TYPE_LOGIC && param(p[1])->w1));
}
uint64_t r_kezbin_decode(const uint64_t* p) { return answer(kezbin::decode(param(p[0]))); }

const natives::routine_def global_routines[] = {
    {"quit-return", R"K(["Stops evaluation and exits the program with a given status" status [integer!] "Process termination value to return"])K", r_quit_return, false},
    {"set-quiet", R"K(["Set an object's field to a value without triggering eventual object's events" word [any-type!] value [any-type!] return: [any-type!]])K", r_set_quiet, true},
    {"set-slot-quiet", R"K(["Set a value in series without triggering eventual owner's events" series [any-type!] value [any-type!]])K", r_set_slot_quiet, true},
    {"shift-right", R"K(["Shift bits to the right" data [integer!] bits [integer!] return: [integer!]])K", r_shift_right, false},
    {"shift-left", R"K(["Shift bits to the left" data [integer!] bits [integer!] return: [integer!]])K", r_shift_left, false},
    {"shift-logical", R"K(["Shift bits to the right (unsigned)" data [integer!] bits [integer!] return: [integer!]])K", r_shift_logical, false},
    {"last-lf?", R"K(["Internal Use Only" return: [logic!]])K", r_last_lf_q, false},
    {"get-current-dir", R"K(["Returns the platform's current process directory"])K", r_get_current_dir, true},
    {"set-current-dir", R"K(["Sets the platform's current process directory" path [file!]])K", r_set_current_dir, true},
    {"as-color", R"K(["Combine R, G and B values into a tuple" r [integer!] g [integer!] b [integer!]])K", r_as_color, false},
    {"as-ipv4", R"K(["Combine a, b, c and d values into a tuple" a [integer!] b [integer!] c [integer!] d [integer!]])K", r_as_ipv4, false},
    {"as-rgba", R"K(["Combine R, G, B and A color components into a tuple" r [integer!] g [integer!] b [integer!] a [integer!]])K", r_as_ipv4, false},
    {"count-chars", R"K(["Count UTF-8 encoded characters between two positions in a binary series" start [binary!] pos [binary!] return: [integer!]])K", r_count_chars, false},
    {"stack-size?", R"K([return: [integer!]])K", r_stack_size_q, false},
    {"pick-stack", R"K([idx [integer!]])K", r_pick_stack, false},
    {"frame-index?", R"K([return: [integer!]])K", r_frame_index_q, false},
    {"collect-calls", R"K([blk [block!]])K", r_collect_calls, false},
    {"tracing?", R"K([return: [logic!]])K", r_tracing_q, false},
    {"_set-tracing", R"K([on [logic!]])K", r_set_tracing, false},
    // The launch prelude's last step before user code.
    {"_launch-done", R"K([])K", r_launch_done, false},
    // Members of system objects, set by the library and then unset.
    {"_interpreted?", R"K(["Return TRUE if called from the interpreter" return: [logic!]])K", r_interpreted_q, false},
    {"_gc-active?", R"K([return: [logic!]])K", r_gc_active_q, false},
    {"_gc-series-cycles", R"K([return: [integer!]])K", r_gc_series_cycles, false},
    {"_gc-nodes-cycles", R"K([return: [integer!]])K", r_gc_nodes_cycles, false},
    {"_make-null-handle", R"K([])K", r_make_null_handle, false},
    {"_set-float-pretty", R"K([on [logic!]])K", r_set_float_pretty, false},
    {"_bmp-encode", R"K([img [image!] where [any-type!]])K", r_image_encode<0>, true},
    {"_png-encode", R"K([img [image!] where [any-type!]])K", r_image_encode<1>, true},
    {"_gif-encode", R"K([img [image!] where [any-type!]])K", r_image_encode<2>, true},
    {"_jpeg-encode", R"K([img [image!] where [any-type!]])K", r_image_encode<3>, true},
    {"_tiff-encode", R"K([img [image!] where [any-type!]])K", r_image_encode<4>, true},
    {"_image-decode", R"K([data [any-type!]])K", r_image_decode, true},
    {"_kezbin-encode*", R"K([data [any-type!] compact? [logic!]])K", r_kezbin_encode_star, true},
    {"_kezbin-decode", R"K([payload [any-type!]])K", r_kezbin_decode, true},
};

}  // namespace

void register_routines(natives::routine_list& list) {
  for (const natives::routine_def& r : global_routines) list.push_back(r);
  register_codec_routines(list);
}

}  // namespace kez::library
