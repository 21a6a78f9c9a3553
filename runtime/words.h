// The runtime's own words: every symbol, word, refinement and issue that
// native code names is interned once at start-up and kept in a slot, so no
// module ever looks a word up by its text at run time.
//
// Slots are written once, by init, and never rewritten: symbol slots hold
// symbol ids; word, refinement and issue slots hold the address of a cell
// anchored in the root block (init runs while the root block is being
// built), which never moves. A slot is read directly, e.g.
// words::symbols[words::sym::self] or words::word[words::w::append].
#pragma once

#include <cstdint>

#include "runtime/cell.h"

#define KEZ_RUNTIME_SYMBOLS(X) \
  X(spec, "spec") \
  X(body, "body") \
  X(words, "words") \
  X(class_, "class") \
  X(logic, "logic!") \
  X(integer, "integer!") \
  X(char_, "char!") \
  X(float_, "float!") \
  X(percent, "percent!") \
  X(any_type, "any-type!") \
  X(exit, "exit") \
  X(return_, "return") \
  X(windows, "Windows") \
  X(syllable, "Syllable") \
  X(macos, "macOS") \
  X(linux, "Linux") \
  X(netbsd, "NetBSD") \
  X(repeat, "repeat") \
  X(foreach, "foreach") \
  X(map_each, "map-each") \
  X(remove_each, "remove-each") \
  X(any, "any") \
  X(break_, "break") \
  X(copy, "copy") \
  X(end, "end") \
  X(fail, "fail") \
  X(into, "into") \
  X(opt, "opt") \
  X(not_, "not") \
  X(quote, "quote") \
  X(case_, "case") \
  X(reject, "reject") \
  X(set, "set") \
  X(skip, "skip") \
  X(some, "some") \
  X(thru, "thru") \
  X(to, "to") \
  X(none, "none") \
  X(bar, "|") \
  X(minus, "-") \
  X(if_, "if") \
  X(remove, "remove") \
  X(while_, "while") \
  X(insert, "insert") \
  X(only, "only") \
  X(collect, "collect") \
  X(keep, "keep") \
  X(pick, "pick") \
  X(ahead, "ahead") \
  X(after, "after") \
  X(x, "x") \
  X(y, "y") \
  X(z, "z") \
  X(self, "self") \
  X(values, "values") \
  X(owner, "owner") \
  X(owned, "owned") \
  X(events_q, "events?") \
  X(true_, "true") \
  X(false_, "false") \
  X(yes, "yes") \
  X(no, "no") \
  X(on, "on") \
  X(off, "off") \
  X(type, "type") \
  X(face, "face") \
  X(window, "window") \
  X(offset, "offset") \
  X(key, "key") \
  X(flag, "flag") \
  X(code, "code") \
  X(picked, "picked") \
  X(flags, "flags") \
  X(away_q, "away?") \
  X(ctrl_q, "ctrl?") \
  X(shift_q, "shift?") \
  X(down_q, "down?") \
  X(mid_down_q, "mid-down?") \
  X(alt_down_q, "alt-down?") \
  X(aux_down_q, "aux-down?") \
  X(orientation, "orientation") \
  X(get, "get") \
  X(put, "put") \
  X(post, "post") \
  X(zlib, "zlib") \
  X(deflate, "deflate") \
  X(gzip, "gzip") \
  X(head, "head") \
  X(size, "size") \
  X(rgb, "rgb") \
  X(alpha, "alpha") \
  X(argb, "argb") \
  X(date, "date") \
  X(year, "year") \
  X(month, "month") \
  X(day, "day") \
  X(zone, "zone") \
  X(isoweek, "isoweek") \
  X(week, "week") \
  X(weekday, "weekday") \
  X(yearday, "yearday") \
  X(julian, "julian") \
  X(time, "time") \
  X(hour, "hour") \
  X(minute, "minute") \
  X(second, "second") \
  X(timezone, "timezone") \
  X(code_2, "code") \
  X(amount, "amount") \
  X(user, "user") \
  X(host, "host") \
  X(system, "system") \
  X(system_global, "system-global") \
  X(trace, "trace") \
  X(no_trace, "no-trace")

#define KEZ_RUNTIME_WORDS(X) \
  X(at, "at") \
  X(back, "back") \
  X(find, "find") \
  X(head, "head") \
  X(head_q, "head?") \
  X(index_q, "index?") \
  X(length_q, "length?") \
  X(next, "next") \
  X(pick, "pick") \
  X(skip, "skip") \
  X(select, "select") \
  X(tail, "tail") \
  X(tail_q, "tail?") \
  X(change, "change") \
  X(changed, "changed") \
  X(clear, "clear") \
  X(cleared, "cleared") \
  X(set_path, "set-path") \
  X(append, "append") \
  X(appended, "appended") \
  X(move, "move") \
  X(moved, "moved") \
  X(poke, "poke") \
  X(poked, "poked") \
  X(put, "put") \
  X(put_ed, "put-ed") \
  X(removed, "removed") \
  X(random, "random") \
  X(randomized, "randomized") \
  X(reverse, "reverse") \
  X(reversed, "reversed") \
  X(sort, "sort") \
  X(sorted, "sorted") \
  X(swap, "swap") \
  X(swaped, "swaped") \
  X(take, "take") \
  X(taken, "taken") \
  X(trim, "trim") \
  X(trimmed, "trimmed") \
  X(inserted, "inserted") \
  X(uppercase, "uppercase") \
  X(lowercase, "lowercase") \
  X(checksum, "checksum") \
  X(push, "push") \
  X(pop, "pop") \
  X(fetch, "fetch") \
  X(match, "match") \
  X(iterate, "iterate") \
  X(paren, "paren") \
  X(anon, "<anon>") \
  X(body, "<body>") \
  X(not_found, "<not-found>") \
  X(add, "add") \
  X(subtract, "subtract") \
  X(divide, "divide") \
  X(on_parse_event, "on-parse-event") \
  X(on_change_star, "on-change*") \
  X(on_deep_change_star, "on-deep-change*") \
  X(type, "type") \
  X(id, "id") \
  X(try_, "try") \
  X(catch_, "catch") \
  X(name, "name") \
  X(multiply, "multiply") \
  X(browse, "browse") \
  X(open, "open") \
  X(create, "create") \
  X(close, "close") \
  X(delete_, "delete") \
  X(modify, "modify") \
  X(query, "query") \
  X(read, "read") \
  X(rename, "rename") \
  X(update, "update") \
  X(write, "write") \
  X(prescan, "prescan") \
  X(scan, "scan") \
  X(load, "load") \
  X(error, "error") \
  X(comment, "comment") \
  X(init, "init") \
  X(exec, "exec") \
  X(call, "call") \
  X(return_, "return") \
  X(enter, "enter") \
  X(exit, "exit") \
  X(prolog, "prolog") \
  X(epilog, "epilog") \
  X(throw_, "throw") \
  X(expr, "expr") \
  X(interp_callback, "<interp-callback>") \
  X(lexer_callback, "<lexer-callback>") \
  X(parse_callback, "<parse-callback>") \
  X(compare_callback, "<compare-callback>") \
  X(throw_2, "throw") \
  X(note, "note") \
  X(syntax, "syntax") \
  X(script, "script") \
  X(math, "math") \
  X(access, "access") \
  X(user, "user") \
  X(internal, "internal") \
  X(invalid_error, "invalid-error") \
  X(local, "local") \
  X(applied, "<applied>")

#define KEZ_RUNTIME_GLOBAL_WORDS(X) \
  X(windows, "Windows") \
  X(syllable, "Syllable") \
  X(macos, "macOS") \
  X(linux, "Linux") \
  X(netbsd, "NetBSD") \
  X(to, "to") \
  X(thru, "thru") \
  X(not_, "not") \
  X(remove, "remove") \
  X(while_, "while") \
  X(collect, "collect") \
  X(keep, "keep") \
  X(ahead, "ahead") \
  X(bar, "|") \
  X(any, "any") \
  X(some, "some") \
  X(copy, "copy") \
  X(opt, "opt") \
  X(into, "into") \
  X(insert, "insert") \
  X(if_, "if") \
  X(quote, "quote") \
  X(collect_2, "collect") \
  X(set, "set") \
  X(case_, "case") \
  X(end, "end")

#define KEZ_RUNTIME_REFINEMENTS(X) \
  X(local, "local") \
  X(extern_, "extern") \
  X(compare, "compare") \
  X(part, "part") \
  X(skip, "skip") \
  X(with, "with")

namespace kez::words {

#define KEZ_SLOT(id, text) id,
namespace sym { enum : uint32_t { KEZ_RUNTIME_SYMBOLS(KEZ_SLOT) COUNT }; }
namespace w { enum : uint32_t { KEZ_RUNTIME_WORDS(KEZ_SLOT) COUNT }; }
namespace global { enum : uint32_t { KEZ_RUNTIME_GLOBAL_WORDS(KEZ_SLOT) COUNT }; }
namespace ref { enum : uint32_t { KEZ_RUNTIME_REFINEMENTS(KEZ_SLOT) COUNT }; }
#undef KEZ_SLOT

extern uint32_t symbols[sym::COUNT];       // symbol ids
extern cell* word[w::COUNT];               // words of the global context
extern cell* global_word[global::COUNT];   // global words made from the symbols above
extern cell* refinements[ref::COUNT];      // refinement!s, unbound
extern cell* issue_ooo;                    // the issue! #ooo

// Interns all of them, in this order: symbols, words, global words,
// refinements, the issue. Needs the symbol table, the global context and
// the root block, with the root-building flag set.
void init();
void release();  // forgets every slot, before the heap that holds them is dropped

}  // namespace kez::words
