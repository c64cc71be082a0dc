#include "core/graphs/graph_overlay.h"

namespace {

constexpr GraphLegendItem kRealtimeItems[] = {
    {0x4000FF00u, 20, 55, L"Acceptable Range"},
};
constexpr GraphLegendItem kSweepItems[] = {
    {0x4000FF00u, 20, 55, L"Required Operating Range"},
    {0x40FF0000u, 175, 210, L"Out of Spec"},
    {0x40646464u, 275, 310, L"Permissible shut down region"},
};
constexpr GraphLegend kRealtimeLegend{kRealtimeItems, 1, 0, 5, 14.0f};
constexpr GraphLegend kSweepLegend{kSweepItems, 3, 2, 7, 12.0f};

}  // namespace

const GraphLegend& LegendOf(uint32_t graphMode) { return graphMode == RealTime ? kRealtimeLegend : kSweepLegend; }
