// UIRender.cpp - the drawing helpers the controls share.

#include "UIRender.h"

namespace ui {

void AddRoundRect(Gdiplus::GraphicsPath& path, const Gdiplus::RectF& rect, float radius) {
    if (radius <= 0.0f) {
        path.AddRectangle(rect);
        return;
    }
    const float d = std::min(radius * 2.0f, std::min(rect.Width, rect.Height));
    const float right = rect.X + rect.Width - d, bottom = rect.Y + rect.Height - d;
    path.AddArc(rect.X, rect.Y, d, d, 180.0f, 90.0f);
    path.AddArc(right, rect.Y, d, d, 270.0f, 90.0f);
    path.AddArc(right, bottom, d, d, 0.0f, 90.0f);
    path.AddArc(rect.X, bottom, d, d, 90.0f, 90.0f);
    path.CloseFigure();
}

void FillRoundRect(Gdiplus::Graphics& g, const Gdiplus::RectF& rect, float radius,
                   const Gdiplus::Brush& brush) {
    if (rect.Width <= 0.0f || rect.Height <= 0.0f) return;
    if (radius <= 0.0f) {
        g.FillRectangle(&brush, rect);
        return;
    }
    Gdiplus::GraphicsPath path;
    AddRoundRect(path, rect, radius);
    g.FillPath(&brush, &path);
}

void DrawRoundRect(Gdiplus::Graphics& g, const Gdiplus::RectF& rect, float radius, uint32_t color,
                   int width) {
    if (color == 0 || width <= 0) return;
    if (radius <= 0.0f) {
        // Square corners: four filled edges, crisp whatever the pixel offset.
        const float w = static_cast<float>(width);
        if (rect.Width <= 2 * w || rect.Height <= 2 * w) return;
        Gdiplus::SolidBrush brush(ToColor(color));
        g.FillRectangle(&brush, rect.X, rect.Y, rect.Width, w);
        g.FillRectangle(&brush, rect.X, rect.Y + rect.Height - w, rect.Width, w);
        g.FillRectangle(&brush, rect.X, rect.Y + w, w, rect.Height - 2 * w);
        g.FillRectangle(&brush, rect.X + rect.Width - w, rect.Y + w, w, rect.Height - 2 * w);
        return;
    }
    // The pen straddles the outline: draw it half a pen inside the rectangle.
    const float inset = static_cast<float>(width) / 2.0f;
    const Gdiplus::RectF inner(rect.X + inset, rect.Y + inset, rect.Width - 2 * inset,
                               rect.Height - 2 * inset);
    if (inner.Width <= 0.0f || inner.Height <= 0.0f) return;
    Gdiplus::Pen pen(ToColor(color), static_cast<Gdiplus::REAL>(width));
    Gdiplus::GraphicsPath path;
    AddRoundRect(path, inner, radius);
    g.DrawPath(&pen, &path);
}

}  // namespace ui
