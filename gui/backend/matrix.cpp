#include "gui/backend/matrix.h"

namespace kez::gui::matrix {

namespace {

void combine(const m32& m, const m32& with, m32& out, int order) {
  m32 r;
  multiply(m, with, r, order);
  out = r;
}

}  // namespace

void identity(m32& out) { out = m32{}; }

void multiply(const m32& a, const m32& b, m32& out, int order) {
  const m32& x = order == APPEND ? a : b;
  const m32& y = order == APPEND ? b : a;
  out.m11 = x.m11 * y.m11 + x.m12 * y.m21;
  out.m12 = x.m11 * y.m12 + x.m12 * y.m22;
  out.m21 = x.m21 * y.m11 + x.m22 * y.m21;
  out.m22 = x.m21 * y.m12 + x.m22 * y.m22;
  out.dx = x.dx * y.m11 + x.dy * y.m21 + y.dx;
  out.dy = x.dx * y.m12 + x.dy * y.m22 + y.dy;
}

void translate(const m32& m, float x, float y, m32& out, int order) { combine(m, m32::translation(x, y), out, order); }

void scale(const m32& m, float sx, float sy, float cx, float cy, m32& out, int order) {
  combine(m, m32::scale(sx, sy, {cx, cy}), out, order);
}

void rotate(const m32& m, float degrees, float cx, float cy, m32& out, int order) {
  combine(m, m32::rotation(degrees, {cx, cy}), out, order);
}

void skew(const m32& m, float degrees_x, float degrees_y, float cx, float cy, m32& out, int order) {
  combine(m, m32::skew(degrees_x, degrees_y, {cx, cy}), out, order);
}

void invert(const m32& m, m32& out) {
  out = m;
  out.invert();
}

void identity(m44& out) { out = m44{}; }

void multiply(const m44& a, const m44& b, m44& out) {
  m44 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float s = 0;
      for (int k = 0; k < 4; ++k) s += a.m[i][k] * b.m[k][j];
      r.m[i][j] = s;
    }
  out = r;
}

}  // namespace kez::gui::matrix
