#include "graphs/graph_overlay.h"

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

SweepRegionInputs RegionInputsOf(const GraphSession& session) {
  SweepRegionInputs in;
  in.profileKind = session.profileKind;
  in.profileSubKind = session.profileSubKind;
  in.estimateUpstream = session.estimateUpstream;
  in.sweepEndMa = session.sweepEndMa;
  in.sweepRatedMa = session.sweepRatedMa;
  in.sweepProfileMv = session.sweepProfileMv;
  in.axisMinVolts = session.axis.minVolts;
  in.axisMaxVolts = session.axis.maxVolts;
  return in;
}

std::optional<VoltageWindow> RealtimeWindowOf(const GraphSession& session) {
  const uint16_t load = session.setpointMa;
  return ComputeVoltageWindow(session.WindowInputs(load, load));
}
