#include "cli/cli_multi.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "cli/cli_output.h"

bool LeftOut(const CliOptions& options, ConnectRefusal refusal) {
  return refusal == ConnectRefusal::Busy || (options.all && refusal == ConnectRefusal::Unusable);
}

std::string LeftOutText(ConnectRefusal refusal) {
  switch (refusal) {
    case ConnectRefusal::Busy: return "busy";
    case ConnectRefusal::Unusable: return "not usable";
    default: return "";
  }
}

int WorstExitCode(const std::vector<TesterEnd>& ends) {
  int worst = kExitOk;
  bool any = false;
  for (const TesterEnd& e : ends) {
    if (e.leftOut) continue;
    any = true;
    worst = std::max(worst, e.code);
  }
  return any ? worst : kExitError;
}

std::vector<TesterEnd> RunEachTester(const std::vector<TesterPlace>& places,
                                     const std::function<TesterEnd(size_t)>& run) {
  std::vector<TesterEnd> ends(places.size());
  std::vector<std::thread> threads;
  threads.reserve(places.size());
  for (size_t i = 0; i < places.size(); ++i) {
    threads.emplace_back([&, i] {
      const TesterPlace& p = places[i];
      FailHeading heading(p.serial.empty() ? p.path : p.serial);
      try {
        ends[i] = run(i);
      } catch (const std::exception& e) {
        // The run's session has left its tester safe while unwinding.
        ends[i].code = Fail(std::string("ended by an unexpected error: ") + e.what());
      } catch (...) {
        ends[i].code = Fail("ended by an unexpected error");
      }
      if (ends[i].code != kExitOk && ends[i].message.empty()) ends[i].message = heading.LastMessage();
    });
  }
  for (std::thread& t : threads) t.join();
  return ends;
}

void MarkLeftOut(const CliOptions& options, const Session& session, TesterEnd* end) {
  end->leftOut = LeftOut(options, session.refusal);
  if (!end->leftOut) return;
  end->leftOutText = LeftOutText(session.refusal);
  Fail(session.Name() + ": " + end->leftOutText + ", skipped");
}

int ConnectOneOf(const CliOptions& options, const TesterPlace& place, Session* session, TesterEnd* end) {
  session->place = place;
  session->placeGiven = true;
  const int code = ConnectTester(options, session);
  if (code != kExitOk) {
    end->code = code;
    MarkLeftOut(options, *session, end);
  }
  return code;
}
