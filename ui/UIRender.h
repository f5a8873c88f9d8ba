// UIRender.h - GDI+ for the toolkit, and the drawing helpers its controls
// share.  gdiplus.h needs COM's declarations (PROPID and friends), which
// WIN32_LEAN_AND_MEAN leaves out of windows.h: <objidl.h> comes first.

#ifndef BREVIK_UI_UIRENDER_H
#define BREVIK_UI_UIRENDER_H

#include "UIBase.h"

#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

namespace ui {

inline Gdiplus::Color ToColor(uint32_t argb) { return Gdiplus::Color(static_cast<Gdiplus::ARGB>(argb)); }

inline Gdiplus::RectF ToRectF(const RECT& rc) {
    return Gdiplus::RectF(static_cast<Gdiplus::REAL>(rc.left), static_cast<Gdiplus::REAL>(rc.top),
                          static_cast<Gdiplus::REAL>(rc.right - rc.left),
                          static_cast<Gdiplus::REAL>(rc.bottom - rc.top));
}

// A rectangle with rounded corners of the given radius (0: square corners).
void AddRoundRect(Gdiplus::GraphicsPath& path, const Gdiplus::RectF& rect, float radius);

// Fills and/or outlines a rectangle; radius 0 gives square corners.  A
// colour of 0 (fully transparent) skips that part.
void FillRoundRect(Gdiplus::Graphics& g, const Gdiplus::RectF& rect, float radius,
                   const Gdiplus::Brush& brush);
void DrawRoundRect(Gdiplus::Graphics& g, const Gdiplus::RectF& rect, float radius, uint32_t color, int width);

}  // namespace ui

#endif  // BREVIK_UI_UIRENDER_H
