// The legend the graph window draws under its chart in each mode, as plain
// values. The window paints it with GDI+ (graph_window_win.cpp); the command
// line's SVG chart (report/chart_svg.cpp) writes the same swatches and texts.
// The overlays themselves come from graph_run.h (RunRegionInputs, RunBand).
#pragma once

#include <cstdint>

#include "core/graphs/graph_run.h"

// One legend entry: a 30 x 20 pixel swatch and its text.
struct GraphLegendItem {
  uint32_t argb;  // swatch colour, alpha in the top byte
  int swatchX;
  int textX;
  const wchar_t* text;
};

// The legend under the chart: swatches at chart height + swatchDy, texts at
// chart height + textDy, in Arial of fontPixels x uiScale.
struct GraphLegend {
  const GraphLegendItem* items;
  int count;
  int swatchDy;
  int textDy;
  float fontPixels;
};

// Real-time: "Acceptable Range". Sweep: "Required Operating Range", "Out of
// Spec", "Permissible shut down region".
const GraphLegend& LegendOf(uint32_t graphMode);

// Translucent fills of the overlays: the colour with alpha 0x40.
constexpr uint8_t kOverlayAlpha = 0x40;
