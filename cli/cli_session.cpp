#include "cli/cli_session.h"

#include "cli/cli_end.h"
#include "cli/cli_output.h"
#include "cli/cli_sim.h"
#include "core/link/monitor_core.h"
#include "core/base/tester_state.h"
#include "core/link/profile_text.h"
#include "core/base/tester_list.h"

namespace {

std::string SerialList(const std::vector<TesterPlace>& places) {
  std::string text;
  for (const TesterPlace& p : places) text += (text.empty() ? "" : ", ") + p.serial;
  return text;
}

const TesterPlace* FindSerial(const std::vector<TesterPlace>& places, const std::string& serial) {
  for (const TesterPlace& p : places) {
    if (p.serial == serial) return &p;
  }
  return nullptr;
}

std::string NotFoundText(const std::string& serial, const std::vector<TesterPlace>& places) {
  return "no tester with serial number " + serial +
         (places.empty() ? std::string(" (no tester found)") : " (found: " + SerialList(places) + ")");
}

}  // namespace

bool ListTesters(const CliOptions& options, std::vector<TesterPlace>* places, std::string* error) {
  if (options.sim) return ListSimPlaces(options.simScenario, places, error);
  return ListPlaces(options.platform, places, error);
}

OpenOutcome OpenTester(const CliOptions& options, const TesterPlace& place) {
  return options.sim ? OpenSimPlace(options.simScenario, place) : OpenPlace(place);
}

std::string VersionText(uint8_t tenths) { return Format("%0.1f", tenths / 10.0); }

int ChooseTester(const CliOptions& options, TesterPlace* place) {
  if (options.Several()) return Fail("this command works with one tester: give one --serial");
  if (!options.platform.port.empty()) {
    if (options.sim) return Fail("--port and --sim do not go together");
    *place = PlaceOfPort(options.platform);
    return kExitOk;
  }
  std::vector<TesterPlace> places;
  std::string error;
  if (!ListTesters(options, &places, &error)) return Fail(error);
  if (!options.serials.empty()) {
    if (const TesterPlace* found = FindSerial(places, options.serials[0])) {
      *place = *found;
      return kExitOk;
    }
    return Fail(NotFoundText(options.serials[0], places));
  }
  if (places.empty()) return Fail(FirstLine(kNoTesterText));
  if (places.size() > 1) {
    return Fail(std::to_string(places.size()) + " testers found (" + SerialList(places) +
                "): choose one with --serial, or all of them with --all");
  }
  *place = places[0];
  return kExitOk;
}

int ChooseTesters(const CliOptions& options, std::vector<TesterPlace>* chosen) {
  chosen->clear();
  if (!options.platform.port.empty()) return Fail("--port names one tester: use --serial for several");
  if (options.all && !options.serials.empty()) return Fail("--all and --serial do not go together");
  std::vector<TesterPlace> places;
  std::string error;
  if (!ListTesters(options, &places, &error)) return Fail(error);
  if (options.all) {
    if (places.empty()) return Fail(FirstLine(kNoTesterText));
    *chosen = places;
    return kExitOk;
  }
  for (size_t i = 0; i < options.serials.size(); ++i) {
    const std::string& serial = options.serials[i];
    for (size_t j = 0; j < i; ++j) {
      if (options.serials[j] == serial) return Fail("--serial " + serial + " is given twice");
    }
    const TesterPlace* found = FindSerial(places, serial);
    if (!found) return Fail(NotFoundText(serial, places));
    chosen->push_back(*found);
  }
  return kExitOk;
}

int ConnectTester(const CliOptions& options, Session* session) {
  session->refusal = ConnectRefusal::Other;
  if (!session->placeGiven) {
    if (const int code = ChooseTester(options, &session->place)) return code;
  }
  OpenOutcome opened = OpenTester(options, session->place);
  const std::string name = session->Name();
  if (opened.status == OpenStatus::Busy) {
    session->refusal = ConnectRefusal::Busy;
    return Fail(name + ": " + FirstLine(kTesterInUseText));
  }
  session->refusal = ConnectRefusal::Unusable;
  if (opened.status != OpenStatus::Ok) {
    return Fail(FirstLine(kUnableToConnectText) + " (" + name + ": " + opened.detail + ")");
  }
  session->link = std::move(opened.link);
  session->channel = session->link->Port().Channel();
  session->core = std::make_unique<MonitorCore>(session->state, session->link->Port(), session->link->Clock(), session->view);
  const ConnectResult c = session->core->Connect();
  session->hardwareRevision = c.hardwareRevision;
  session->firmwareVersion = c.firmwareVersion;
  if (!c.ok) {
    const bool silent = c.message == kUnableToConnectText;
    session->core.reset();
    session->link.reset();
    if (silent) return Fail(FirstLine(kUnableToConnectText) + " (" + name + ": no answer from the tester)");
    return Fail(name + ": " + FirstLine(c.message.c_str()));
  }
  session->refusal = ConnectRefusal::None;
  return kExitOk;
}

int FailWith(const Session& session, const std::wstring& message) {
  return Fail(session.Name() + ": " + FirstLine(message.c_str()));
}

int AwaitSource(Session& s, const std::function<int()>& sourceRead) {
  TesterState& S = s.state;
  constexpr int64_t kSourceWaitUs = 3'000'000;
  MonitorClock& clock = s.link->Clock();
  const int64_t start = clock.NowUs();
  while (!S.live.portReady && S.live.testerConnected && !clock.Stopped() && clock.NowUs() - start < kSourceWaitUs) {
    s.core->Pass();
  }
  // A pass writes to the tester only once the source was ready at its start.
  if (S.live.portReady && S.live.testerConnected && sourceRead) {
    if (const int code = sourceRead()) return code;
  }
  while (S.live.portReady && S.live.testerConnected && s.core->SettingsOwed() && !clock.Stopped() &&
         clock.NowUs() - start < 2 * kSourceWaitUs) {
    s.core->Pass();
  }
  if (!S.live.testerConnected) return FailWith(s, kLinkLostText);
  if (clock.Stopped()) {
    const char* cause = StopCauseText(StopRequestCause());
    return Fail(s.Name() + ": " + (*cause ? cause : "stopped by the user"));
  }
  if (!S.live.portReady) return Fail(s.Name() + ": no source is attached");
  if (s.core->SettingsOwed()) return FailWith(s, kSettingsNotWrittenText);
  return kExitOk;
}
