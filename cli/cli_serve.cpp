// The network side of serve (Asio, the same on Linux and Windows): a tester's
// port, its one client, the line cap, the watchdog and the safe end when the
// client goes or the program is stopped. Every tester runs this on a thread of
// its own; what the messages mean is the instrument's (server/instrument.h).
#include "cli/cli_serve.h"

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "cli/cli_end.h"
#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "cli/cli_serve_tester.h"
#include "server/instrument.h"
#include "server/scpi_lines.h"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr auto kLoopWait = std::chrono::milliseconds(50);  // how soon a stop or the watchdog is seen
constexpr size_t kMaxPendingBytes = 64 * 1024;   // messages read ahead of the one being carried out
constexpr size_t kMaxUnsentBytes = 1024 * 1024;  // replies a client has not taken: it is dropped
// A second client waits this long for the first to leave before it is refused.
constexpr auto kContenderWait = std::chrono::milliseconds(300);

struct ServeOptions {
  std::string listen = "127.0.0.1";
  long long portBase = 5025;
};

class TesterServer {
 public:
  explicit TesterServer(SessionTester& tester) : tester_(tester), acceptor_(io_) {
    tester_.SetRunTick([this] { DuringRun(); });
  }

  // Empty when listening, else the system's reason.
  std::string Listen(const asio::ip::address& address, uint16_t port) {
    asio::error_code ec;
    const tcp::endpoint at(address, port);
    if (acceptor_.open(at.protocol(), ec); ec) return ec.message();
#ifndef _WIN32
    // A restarted server takes its port back at once (on Windows this option
    // would let another program share the port).
    acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    if (acceptor_.bind(at, ec); ec) return ec.message();
    if (acceptor_.listen(4, ec); ec) return ec.message();
    return "";
  }
  uint16_t Port() const {
    asio::error_code ec;
    return acceptor_.local_endpoint(ec).port();
  }

  // Serves until a stop is requested, then ends the client's session safely.
  void Run() {
    Accept();
    while (!InterruptRequested()) {
      if (io_.stopped()) io_.restart();
      if (pending_.empty()) io_.run_one_for(kLoopWait);
      io_.poll();
      Execute();
      Housekeeping();
    }
    const char* cause = StopCauseText(StopRequestCause());
    EndClient(std::string("the server was stopped") + (*cause ? std::string(" (") + cause + ")" : ""));
    asio::error_code ec;
    acceptor_.close(ec);
    if (contender_) contender_->close(ec);
  }

  bool EndedSafely() const { return safe_; }

 private:
  void Log(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", tester_.Name().c_str(), text.c_str());
    std::fflush(stderr);
  }

  void Accept() {
    acceptor_.async_accept([this](asio::error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted) return;
      if (!ec) {
        if (!client_) {
          StartClient(std::move(socket));
        } else if (!contender_) {
          // The client may have just left (a client that reconnects): its end
          // may not have been read yet. The newcomer waits a moment.
          contender_.emplace(std::move(socket));
          contenderSince_ = Clock::now();
        } else {
          Refuse(std::move(socket));
        }
      }
      Accept();
    });
  }

  static std::string Peer(const tcp::socket& socket) {
    asio::error_code ec;
    const tcp::endpoint e = socket.remote_endpoint(ec);
    return ec ? "a client" : e.address().to_string() + ":" + std::to_string(e.port());
  }

  // One client at a time: a second one is told so and closed.
  void Refuse(tcp::socket socket) {
    auto s = std::make_shared<tcp::socket>(std::move(socket));
    auto text = std::make_shared<std::string>("Refused: " + tester_.Name() +
                                              " serves one client at a time and another client is connected\n");
    Log("refused " + Peer(*s) + ": another client is connected");
    asio::async_write(*s, asio::buffer(*text), [s, text](asio::error_code, size_t) {
      asio::error_code ignored;
      s->shutdown(tcp::socket::shutdown_both, ignored);
      s->close(ignored);
    });
  }

  void StartClient(tcp::socket socket) {
    asio::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);  // a reply leaves at once, not with the next one
    client_.emplace(std::move(socket));
    peer_ = Peer(*client_);
    instrument_ = std::make_unique<Instrument>(tester_);
    lastInput_ = Clock::now();
    Log("client " + peer_ + " connected");
    Read();
  }

  void Read() {
    if (!client_ || reading_ || !gone_.empty()) return;
    reading_ = true;
    client_->async_read_some(asio::buffer(input_), [this, generation = generation_](asio::error_code ec, size_t n) {
      if (generation != generation_) return;  // an earlier client's
      reading_ = false;
      if (ec) {
        Gone(ec == asio::error::eof ? "closed the connection" : "lost: " + ec.message());
        return;
      }
      lastInput_ = Clock::now();
      std::vector<scpi::Line> lines;
      splitter_.Feed(std::string_view(input_.data(), n), &lines);
      for (scpi::Line& line : lines) {
        pendingBytes_ += line.text.size() + 1;
        pending_.push_back(std::move(line));
      }
      // A client that sends faster than the tester answers waits in its own buffers.
      if (pendingBytes_ < kMaxPendingBytes) Read();
    });
  }

  // The client has gone or must go: a run under way ends, the rest follows outside the run.
  void Gone(const std::string& why) {
    if (gone_.empty()) gone_ = why;
    tester_.StopRun();
  }

  // While a capture or sweep runs: the client is read (a disconnect ends the run), the server's stop too.
  void DuringRun() {
    io_.poll();
    if (!gone_.empty() || InterruptRequested()) tester_.StopRun();
  }

  // The messages read so far, one at a time, each finished before the next.
  void Execute() {
    while (!pending_.empty() && client_ && gone_.empty()) {
      scpi::Line line = std::move(pending_.front());
      pending_.pop_front();
      pendingBytes_ -= line.text.size() + 1;
      std::string reply;
      if (line.overrun) {
        instrument_->Overrun();
      } else {
        reply = instrument_->Execute(line.text);
      }
      // The watchdog counts the client's silence from the end of its last command.
      lastInput_ = Clock::now();
      if (!reply.empty()) Send(reply + "\n");
    }
    if (pendingBytes_ < kMaxPendingBytes) Read();
  }

  void Send(std::string text) {
    unsent_ += text;
    if (unsent_.size() > kMaxUnsentBytes) return Gone("does not read its replies");
    Flush();
  }

  void Flush() {
    if (writing_ || unsent_.empty() || !client_) return;
    writing_ = true;
    auto data = std::make_shared<std::string>(std::move(unsent_));
    unsent_.clear();
    asio::async_write(*client_, asio::buffer(*data),
                      [this, data, generation = generation_](asio::error_code ec, size_t) {
                        if (generation != generation_) return;
                        writing_ = false;
                        if (ec) return Gone("lost: " + ec.message());
                        Flush();
                      });
  }

  void Housekeeping() {
    if (!gone_.empty()) EndClient("the client " + gone_);
    const auto now = Clock::now();
    if (contender_ && (!client_ || now - contenderSince_ >= kContenderWait)) {
      tcp::socket newcomer = std::move(*contender_);
      contender_.reset();
      if (client_) {
        Refuse(std::move(newcomer));
      } else {
        StartClient(std::move(newcomer));
      }
    }
    if (client_ && pending_.empty() && instrument_->WatchdogSeconds() > 0 &&
        now - lastInput_ >= std::chrono::duration<double>(instrument_->WatchdogSeconds())) {
      if (instrument_->WatchdogExpired()) {
        Log(Format("client %s silent for %g s: watchdog expired, ", peer_.c_str(), instrument_->WatchdogSeconds()) +
            "load 0 mA, limits enforced");
      }
      lastInput_ = now;
    }
    if (pending_.empty()) tester_.Idle();
  }

  // The safe end for a client that has gone (or a server that stops), and the port free for the next.
  void EndClient(const std::string& why) {
    if (!client_) return;
    const std::string problem = instrument_->End();
    safe_ = safe_ && problem.empty();
    Log("client " + peer_ + ": " + why + "; " + (problem.empty() ? "load 0 mA, limits enforced" : problem));
    asio::error_code ec;
    client_->shutdown(tcp::socket::shutdown_both, ec);
    client_->close(ec);
    client_.reset();
    instrument_.reset();
    splitter_ = scpi::LineSplitter();
    pending_.clear();
    pendingBytes_ = 0;
    unsent_.clear();
    reading_ = writing_ = false;
    gone_.clear();
    ++generation_;
  }

  SessionTester& tester_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::optional<tcp::socket> client_;
  std::optional<tcp::socket> contender_;  // a second client, until the first is known to stay
  Clock::time_point contenderSince_;
  std::string peer_;
  std::unique_ptr<Instrument> instrument_;
  scpi::LineSplitter splitter_;
  std::deque<scpi::Line> pending_;
  size_t pendingBytes_ = 0;
  std::array<char, 4096> input_{};
  std::string unsent_;
  bool reading_ = false;
  bool writing_ = false;
  std::string gone_;         // why the client has gone, until its end is done
  uint64_t generation_ = 0;  // one per client: handlers of an earlier one do nothing
  Clock::time_point lastInput_;
  bool safe_ = true;
};

int RunServe(const CliOptions& options, const ServeOptions& serve) {
  asio::error_code ec;
  const asio::ip::address address = asio::ip::make_address(serve.listen, ec);
  if (ec) return Fail("--listen " + serve.listen + ": not an IP address");
  std::vector<TesterPlace> places;
  if (!options.platform.port.empty()) {
    if (options.sim) return Fail("--port and --sim do not go together");
    places.push_back(PlaceOfPort(options.platform));
  } else {
    std::string error;
    if (!ListTesters(options, &places, &error)) return Fail(error);
    // --serial, once or more, serves those testers only.
    for (const std::string& serial : options.serials) {
      if (std::none_of(places.begin(), places.end(), [&](const TesterPlace& p) { return p.serial == serial; })) {
        return Fail("no tester with serial number " + serial);
      }
    }
    if (!options.serials.empty()) {
      std::erase_if(places, [&](const TesterPlace& p) {
        return std::find(options.serials.begin(), options.serials.end(), p.serial) == options.serials.end();
      });
    }
  }
  std::sort(places.begin(), places.end(),
            [](const TesterPlace& a, const TesterPlace& b) { return a.serial < b.serial; });
  if (serve.portBase > 0 && serve.portBase + static_cast<long long>(places.size()) - 1 > 65535) {
    return Fail(Format("--port-base %lld: the ports of %u testers go beyond 65535", serve.portBase,
                       static_cast<unsigned>(places.size())));
  }

  // Every tester that can be used: claimed and connected on its own core. One
  // that cannot (busy, refused, silent) is told about and left out.
  std::vector<std::unique_ptr<SessionTester>> testers;
  for (const TesterPlace& place : places) {
    auto tester = std::make_unique<SessionTester>();
    if (tester->Open(options, place) == kExitOk) testers.push_back(std::move(tester));
  }
  if (testers.empty()) return Fail(places.empty() ? "no tester found" : "no tester can be served");
  std::vector<std::unique_ptr<TesterServer>> servers;
  for (size_t i = 0; i < testers.size(); ++i) {
    const auto port = static_cast<uint16_t>(serve.portBase == 0 ? 0 : serve.portBase + static_cast<long long>(i));
    auto server = std::make_unique<TesterServer>(*testers[i]);
    if (const std::string why = server->Listen(address, port); !why.empty()) {
      return Fail(Format("%s: cannot listen on %s port %u: ", testers[i]->Name().c_str(), serve.listen.c_str(),
                         static_cast<unsigned>(port)) + why);
    }
    servers.push_back(std::move(server));
  }
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  for (size_t i = 0; i < servers.size(); ++i) {
    std::printf("%s TCPIP::%s::%u::SOCKET\n", testers[i]->Name().c_str(), host.c_str(),
                static_cast<unsigned>(servers[i]->Port()));
  }
  std::fflush(stdout);

  std::vector<std::thread> threads;
  for (auto& server : servers) threads.emplace_back([s = server.get()] { s->Run(); });
  while (!InterruptRequested()) WaitOrStop(1000);
  for (std::thread& t : threads) t.join();
  const bool safe = std::all_of(servers.begin(), servers.end(), [](const auto& s) { return s->EndedSafely(); });
  return safe ? kExitOk : kExitError;
}

}  // namespace

void AddServeCommand(CLI::App& app, CliOptions& options, int* exitCode, const std::function<void()>& settle) {
  static ServeOptions serve;
  CLI::App* command = app.add_subcommand(
      "serve",
      "Serve every usable tester (or the one named by --serial) as an SCPI instrument over TCP, one port and one "
      "client per tester: prints '<serial> TCPIP::<address>::<port>::SOCKET' per tester and runs until Ctrl-C. "
      "When a client leaves, its watchdog runs out or the server stops, the load goes to 0 mA and the limits back "
      "to enforced");
  command->add_option("--listen", serve.listen,
                      "Address to listen on (default 127.0.0.1: this computer only; 0.0.0.0 lets anyone on the "
                      "network drive the testers)")
      ->capture_default_str();
  command->add_option("--port-base", serve.portBase,
                      "Port of the first tester in serial-number order; the next take the ports after it (0: "
                      "ports the system chooses, as printed)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  command->callback([&options, exitCode, settle] {
    settle();
    *exitCode = RunServe(options, serve);
  });
}
