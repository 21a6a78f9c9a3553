// 2x3 affine and 4x4 perspective matrices of the draw backend. Points are
// row vectors: p maps to p x M. The order flag says how a new matrix joins
// an existing one: 0 append (out = m x new, the new one applies last), 1
// prepend (out = new x m, the new one applies first to coordinates); the
// drawing context always prepends.
#pragma once

#include "platform/gfx/draw.h"

namespace kez::gui::matrix {

using m32 = gfx::matrix;
using m44 = gfx::matrix4;

enum order : int { APPEND = 0, PREPEND = 1 };

void identity(m32& out);
// order 0: out = a x b; order 1: out = b x a. out may alias neither.
void multiply(const m32& a, const m32& b, m32& out, int order);
void translate(const m32& m, float x, float y, m32& out, int order);
void scale(const m32& m, float sx, float sy, float cx, float cy, m32& out, int order);
void rotate(const m32& m, float degrees, float cx, float cy, m32& out, int order);
void skew(const m32& m, float degrees_x, float degrees_y, float cx, float cy, m32& out, int order);
// out = m inverted; a matrix with no inverse is copied unchanged.
void invert(const m32& m, m32& out);

void identity(m44& out);
void multiply(const m44& a, const m44& b, m44& out);

}  // namespace kez::gui::matrix
