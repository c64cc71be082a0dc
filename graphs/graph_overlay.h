// What the graph window draws over its chart, as plain values: the legend of
// each mode, the sweep regions of a run and the real-time band's window. The
// window paints them with GDI+ (graph_window_win.cpp); the command line's SVG
// chart (report/chart_svg.cpp) writes the same shapes and texts.
#pragma once

#include <cstdint>
#include <optional>

#include "graphs/graph_run.h"
#include "graphs/sweep_plan.h"
#include "graphs/voltage_window.h"

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

// The inputs of the sweep regions of a run: its own profile, settings,
// ceiling, rating, voltage and axis.
SweepRegionInputs RegionInputsOf(const GraphSession& session);

// The window the real-time graph's band shows: the run's profile at the load
// the tester reported (which is also the measured current the band assumes).
std::optional<VoltageWindow> RealtimeWindowOf(const GraphSession& session);
