#include "runtime/words.h"

#include <algorithm>
#include <cassert>
#include <iterator>

#include "runtime/core_ops.h"

#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"

namespace kez::words {

uint32_t symbols[sym::COUNT];
cell* word[w::COUNT];
cell* global_word[global::COUNT];
cell* refinements[ref::COUNT];
cell* issue_ooo = nullptr;

namespace {

#define KEZ_TEXT(id, text) text,
const char* const symbol_names[] = {KEZ_RUNTIME_SYMBOLS(KEZ_TEXT)};
const char* const word_names[] = {KEZ_RUNTIME_WORDS(KEZ_TEXT)};
const char* const global_names[] = {KEZ_RUNTIME_GLOBAL_WORDS(KEZ_TEXT)};
const char* const refinement_names[] = {KEZ_RUNTIME_REFINEMENTS(KEZ_TEXT)};
#undef KEZ_TEXT

}  // namespace

void init() {
  assert(root::building && "slots point at root copies: runtime words are made while the root block is built");
  for (uint32_t i = 0; i < sym::COUNT; ++i) symbols[i] = symbol::make(symbol_names[i]);
  for (uint32_t i = 0; i < w::COUNT; ++i) word[i] = word::load(word_names[i]);
  // These symbols were interned above: make answers their ids again.
  for (uint32_t i = 0; i < global::COUNT; ++i) global_word[i] = context::add_global_word(symbol::make(global_names[i]));
  for (uint32_t i = 0; i < ref::COUNT; ++i) refinements[i] = refinement::load_in(refinement_names[i]);
  issue_ooo = issue::load("ooo");
}

void release() {
  std::fill(std::begin(symbols), std::end(symbols), 0u);
  std::fill(std::begin(word), std::end(word), nullptr);
  std::fill(std::begin(global_word), std::end(global_word), nullptr);
  std::fill(std::begin(refinements), std::end(refinements), nullptr);
  issue_ooo = nullptr;
}

}  // namespace kez::words
