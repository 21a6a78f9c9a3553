// email!: a mail address (type 45, a child of string!). It molds and forms as
// its bare text; path access reaches the part before the first "@" (user)
// and the part after it (host), or a character by index.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::email {

cell* push(const cell* value);

// The user part (before the first "@", the whole text when there is none) or
// the host part (after it, empty when there is none) as a new string! in
// result, which may be the email's own cell.
cell* get_part(const cell* email, bool host, cell* result);
// Replaces that part of the email's text in place with the value's text;
// a host set on an address without "@" follows a new "@".
void set_part(const cell* email, bool host, const cell* value);

void init();
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
// An integer! element picks or pokes a character; a word! element must be
// user or host (any case); anything else raises invalid-path. Reading
// answers the part in parent's cell; setting answers the value there.
cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool case_, bool get,
                bool tail, bool notify);

}  // namespace kez::email
