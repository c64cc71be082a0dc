#include "cli/cli_session.h"

#include "cli/cli_output.h"
#include "link/monitor_core.h"
#include "link/profile_text.h"
#include "shell/tester_list.h"

namespace {

std::string SerialList(const std::vector<TesterPlace>& places) {
  std::string text;
  for (const TesterPlace& p : places) text += (text.empty() ? "" : ", ") + p.serial;
  return text;
}

}  // namespace

std::string VersionText(uint8_t tenths) { return Format("%0.1f", tenths / 10.0); }

int ChooseTester(const CliOptions& options, TesterPlace* place) {
  if (!options.platform.port.empty()) {
    *place = PlaceOfPort(options.platform);
    return kExitOk;
  }
  std::vector<TesterPlace> places;
  std::string error;
  if (!ListPlaces(options.platform, &places, &error)) return Fail(error);
  if (!options.serial.empty()) {
    for (const TesterPlace& p : places) {
      if (p.serial == options.serial) {
        *place = p;
        return kExitOk;
      }
    }
    return Fail("no tester with serial number " + options.serial +
                (places.empty() ? std::string(" (no tester found)") : " (found: " + SerialList(places) + ")"));
  }
  if (places.empty()) return Fail(FirstLine(kNoTesterText));
  if (places.size() > 1) {
    return Fail(std::to_string(places.size()) + " testers found (" + SerialList(places) +
                "): choose one with --serial");
  }
  *place = places[0];
  return kExitOk;
}

int ConnectTester(const CliOptions& options, Session* session) {
  if (const int code = ChooseTester(options, &session->place)) return code;
  OpenOutcome opened = OpenPlace(session->place);
  const std::string name = session->Name();
  if (opened.status == OpenStatus::Busy) return Fail(name + ": " + FirstLine(kTesterInUseText));
  if (opened.status != OpenStatus::Ok) return Fail(FirstLine(kUnableToConnectText) + " (" + name + ": " + opened.detail + ")");
  session->link = std::move(opened.link);
  session->channel = session->link->Channel();
  if (!commands::GetVersion(session->channel, &session->hardwareRevision, &session->firmwareVersion)) {
    session->link.reset();
    return Fail(FirstLine(kUnableToConnectText) + " (" + name + ": no answer from the tester)");
  }
  if (const wchar_t* refusal = TesterVersionMessage(session->hardwareRevision, session->firmwareVersion)) {
    session->link.reset();
    return Fail(name + ": " + FirstLine(refusal));
  }
  commands::ReadTesterSettings(session->channel, &session->settings);
  return kExitOk;
}
