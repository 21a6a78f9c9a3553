#include "runtime/stack.h"

#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/memory.h"

namespace kez::stack {

cell* bottom;
cell* top;
cell* end;
cell* arguments;
frame* ctop;
frame* ctop_bottom;
frame* ctop_end;

namespace {

uint32_t data_node;  // the two fixed series; their buffers never move,
uint32_t call_node;  // but node-frame evacuation may move the nodes

// The values field of a context (word 2 of the context cell at the head of
// its buffer); for a running function it holds the arena offset of its
// argument cells on the data stack.
uint32_t& values_field(uint32_t context) {
  return memory::buffer_of(context)->head_cell()->w2;
}

bool on_data_stack(uint32_t offset) {
  return offset >= arena::offset_of(bottom) && offset < arena::offset_of(end);
}

void mark_stacks() {
  if (!data_node) return;
  collector::mark_node(&data_node);
  collector::mark_node(&call_node);
  collector::mark_values(bottom, top);
  gc_mark_frames();
}

void restore_context(const frame* f) {
  if (f->function_context) values_field(f->function_context) = f->saved_values;
}

// Pops one frame, keeping its result cell as the caller's last pushed value.
void pop_frame() {
  --ctop;
  top = arguments + 1;
  arguments = bottom + ctop->prev_arguments;
}

void pop_frame_reset() {
  --ctop;
  arguments = bottom + ctop->prev_arguments;
  top = arguments;
}

void copy_result_to_caller() { *arguments = *(top - 1); }

}  // namespace

void init() {
  static bool marker_added = false;
  if (!marker_added) {
    collector::add_marker(mark_stacks);
    marker_added = true;
  }
  data_node = call_node = 0;  // no stale nodes while allocating
  uint32_t data = memory::alloc_fixed_series(DATA_CELLS, 16, 0);
  collector::root_node hold(data);
  uint32_t call = memory::alloc_fixed_series(CALL_CELLS, 16, 0);
  series_buffer* d = memory::buffer_of(data);
  series_buffer* c = memory::buffer_of(call);
  bottom = top = arguments = reinterpret_cast<cell*>(d->data());
  end = bottom + d->size / sizeof(cell);
  ctop = ctop_bottom = reinterpret_cast<frame*>(c->data());
  ctop_end = ctop_bottom + c->size / sizeof(frame);
  for (cell* p = bottom; p < end; ++p) *p = cell{TYPE_UNSET, 0, 0, 0};
  data_node = data;
  call_node = call;
}

void release() {
  data_node = call_node = 0;
  bottom = top = end = arguments = nullptr;
  ctop = ctop_bottom = ctop_end = nullptr;
}

void overflow() {
  top = top - bottom > 5 ? top - 5 : bottom;
  error::fire(err::cat_internal, err::internal::stack_overflow);
}

void mark(const cell* word, uint32_t flags) {
  if (ctop >= ctop_end) overflow();
  uint32_t symbol = word ? word->w2 & 0xFFFF : 0;
  *ctop++ = frame{symbol << 8 | flags, uint32_t(arguments - bottom), word ? word->w1 : 0, 0, 0};
  arguments = top;
}

void mark_func(const cell* word, uint32_t context) {
  mark(word, FRAME_FUNCTION << 24);
  if (context) {
    frame* f = current_frame();
    f->function_context = context;
    f->saved_values = values_field(context);
  }
}

void unwind() { pop_frame(); }

void unwind_last() {
  pop_frame();
  copy_result_to_caller();
}

void unwind_reset() { pop_frame_reset(); }

void unwind_ctx() {
  restore_context(current_frame());
  pop_frame();
}

void unwind_ctx_last() {
  unwind_ctx();
  copy_result_to_caller();
}

void unwind_ctx_reset() {
  restore_context(current_frame());
  pop_frame_reset();
}

void gc_mark_frames() {
  for (frame* f = ctop_bottom; f < ctop; ++f) {
    if (f->word_context) collector::mark_context(&f->word_context);
    if (f->function_context) collector::mark_context(&f->function_context);
    if (f->saved_values && !on_data_stack(f->saved_values)) collector::mark_block(&f->saved_values);
  }
}

}  // namespace kez::stack
