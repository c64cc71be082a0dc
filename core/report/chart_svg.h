// A graph run as a standalone SVG picture, drawn from the same chart, layout,
// regions and legend as the graph window: white ground with a black outline,
// the chart at (5, 5) (titles, labels, dotted grid, axes, band, trace), then
// the overlay of the run's mode (the sweep's red, green and grey regions, or
// the real-time band) and the legend under the chart.
//
// Texts are measured with Arial's advance widths, so the layout matches the
// window's on a system with Arial; a viewer without it substitutes a
// sans-serif face of about the same width.
#pragma once

#include <string>

#include "core/chart/line_chart.h"
#include "core/graphs/graph_run.h"

// The graph control's size in the window at 96 dots per inch.
constexpr int kGraphSvgWidth = 1000;
constexpr int kGraphSvgHeight = 480;

// The picture as an <svg> element (no XML declaration), for a file or inline
// in HTML. `chart` is the run's chart: its width and height become those the
// window gives it at this size, its band is set for a real-time run, and the
// layout is stored in it as Draw stores it.
std::string GraphSvgElement(const GraphSession& session, LineChart& chart, int width = kGraphSvgWidth,
                            int height = kGraphSvgHeight);

// A standalone SVG file's text: the XML declaration and the element.
std::string GraphSvgFile(const GraphSession& session, LineChart& chart);

// Text for XML and HTML character data and attribute values: &, <, >, " and '
// escaped.
std::string XmlEscape(const std::string& text);
