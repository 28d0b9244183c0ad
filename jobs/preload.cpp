#include "jobs/preload.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <thread>
#include <utility>

#include "base/environment.h"
#include "base/log.h"
#include "config/server_config.h"
#include "jobs/preload_table.h"
#include "launch/execute.h"
#include "launch/piped_launch.h"
#include "platform/child_end.h"
#include "platform/interrupts.h"
#include "platform/process_tree.h"
#include "platform/socket_owner.h"
#include "platform/wakeup.h"
#include "protocol/messages/preload.h"
#include "protocol/xdrwrap.h"

namespace kestrun {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLaunchWait{5000};
constexpr milliseconds kCaptureWait{10000};
constexpr unsigned char kStatusMarker[4] = {0x23, 0x7A, 0x6F, 0x1F};
constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host order

// What the run thread works from: copies, shared with the launcher so that
// neither frees what the other still uses, whatever the launcher's wait does.
struct LaunchRecord {
  ServerContext* server = nullptr;      // lives as long as the process
  std::shared_ptr<PreloadEntry> entry;  // claimed for this launch
  std::string jobName;
  bool useTty = false;
  std::string clientNode;
  uint32_t clientProcessId = 0;
  std::optional<std::string> lockValue;
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
  AutoResetEvent started;
};

std::optional<std::string> VariableOf(const std::vector<std::string>& environment,
                                      const std::string& name) {
  const std::string prefix = name + "=";
  for (const std::string& item : environment)
    if (item.compare(0, prefix.size(), prefix) == 0) return item.substr(prefix.size());
  return std::nullopt;
}

// Waits until a job run takes the started program, or it ends by itself.
// While no request uses it, a program may idle for at most the registration
// limit (from its start, then from the end of each capture step); past that
// it leaves the table and is ended, so dialogs that are never run leave no
// programs behind.
void EndIfNotTaken(ServerContext& server, PreloadTable& table,
                   const std::shared_ptr<PreloadEntry>& entry) {
  const uint32_t pid = entry->programProcessId;
  const milliseconds limit = table.limits.registrationLimit;
  bool registered = false;
  for (;;) {
    milliseconds wait = limit;
    {
      std::lock_guard<std::mutex> guard(table.lock());
      if (entry->ownedByRun) return;
      if (entry->inUse == 0) {
        wait = std::chrono::duration_cast<milliseconds>(entry->idleSince + limit -
                                                        std::chrono::steady_clock::now());
        if (wait <= milliseconds(0)) {
          registered = entry->waiting;
          if (entry->inTable) table.Free(entry);
          break;
        }
      }
    }
    if (WaitForChildEnd(static_cast<ProcessId>(pid), wait)) return;
  }
  LogMessage(*server.config, "Preloaded program \"%s\" (PID %u) %s; ending it",
             entry->programPath.c_str(), pid,
             registered ? "was not taken by a request in time"
                        : "did not register its callback port in time");
  server.runningJobs->KillJobByProcessId(pid);
}

void RunPreload(std::shared_ptr<PreloadTable> table, std::shared_ptr<LaunchRecord> record) {
  // Resuming a program killed meanwhile writes to a pipe nobody reads.
  BlockBrokenPipeSignal();
  // Nothing started: the claimed entry goes, so it counts no more.
  auto abandon = [&] {
    std::lock_guard<std::mutex> guard(table->lock());
    if (record->entry->inTable) table->Free(record->entry);
    record->started.Set();
  };
  if (record->arguments.empty()) return abandon();
  // Held before exec: its id is recorded before the program can talk to the
  // server. A run marker of its own, so that processes the program leaves
  // behind are found and killed with it.
  PipedLaunch launch = PipedLaunch::Start({record->arguments, record->environment, record->useTty,
                                           /*wideOutput=*/false, /*holdBeforeExec=*/true});
  if (launch.result() != 0) return abandon();
  Process& process = launch.process();
  const uint32_t pid = static_cast<uint32_t>(process.pid());
  RunningJobEntry listed(table->jobs(), pid, record->jobName,
                         VariableOf(record->environment, "KESCLIENTUSERNAME"), record->lockValue,
                         launch.marker());

  const std::shared_ptr<PreloadEntry>& entry = record->entry;
  bool dropped = false;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    dropped = !entry->inTable;
    if (!dropped) {
      entry->programProcessId = entry->programThreadId = pid;
      entry->idleSince = std::chrono::steady_clock::now();
    }
  }
  if (dropped) {
    // The dialog was cancelled or refused while the program was being
    // created: it is ended before it ever runs (the listing goes first; the
    // Process owner kills and reaps it).
    listed.Remove();
    process = Process(-1);
    record->started.Set();
    return;
  }
  const int execError = process.Resume();
  record->started.Set();

  std::shared_ptr<StreamPumps> pumps = launch.HandOver(kInvalidSocket, nullptr);
  const int pumpError = execError == 0 ? pumps->Start() : 0;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    entry->pumps = pumps;
    table->changed.notify_all();
  }
  if (pumpError != 0) KillProcessTree(process.pid());
  if (pumpError == 0 && execError == 0) EndIfNotTaken(*record->server, *table, entry);
  const ProcessEnd end = process.WaitForEnd();
  const bool streamFailed = pumps->Finish();
  const bool killed = listed.Remove();
  process.Reap();
  std::lock_guard<std::mutex> guard(table->lock());
  entry->ended = true;
  entry->exitStatus = ExitCodeOf(end, killed);
  entry->streamFailed = streamFailed;
  entry->pumps.reset();
  if (entry->inTable) table->Free(entry);
  table->changed.notify_all();
}

void SendScriptEnvironment(SocketHandle socket, const std::vector<std::string>& environment) {
  std::string message;
  for (const std::string& item : environment) {
    if (item.compare(0, 3, "KES") != 0) continue;
    const uint32_t length = static_cast<uint32_t>(item.size());
    message.append(reinterpret_cast<const char*>(&length), sizeof length);  // native order
    message += item;
  }
  const uint32_t end = 0;
  message.append(reinterpret_cast<const char*>(&end), sizeof end);
  const SendPiece piece{message.data(), message.size()};
  net::SendAll(socket, {&piece, 1});  // a program that went away shows in its run
}

// An adopted program: its entry and the callback connection to it. While
// one exists the program is in use and its idle time does not run; when it
// goes, the idle time starts anew.
class Adoption {
 public:
  Adoption(PreloadTable& table, std::shared_ptr<PreloadEntry> entry, Socket callback)
      : table_(&table), entry_(std::move(entry)), callback_(std::move(callback)) {}
  Adoption(Adoption&& other) noexcept
      : table_(std::exchange(other.table_, nullptr)),
        entry_(std::move(other.entry_)),
        callback_(std::move(other.callback_)) {}
  Adoption(const Adoption&) = delete;
  Adoption& operator=(const Adoption&) = delete;
  Adoption& operator=(Adoption&&) = delete;
  ~Adoption() {
    if (table_ == nullptr) return;
    std::lock_guard<std::mutex> guard(table_->lock());
    --entry_->inUse;
    entry_->idleSince = std::chrono::steady_clock::now();
    table_->changed.notify_all();
  }
  PreloadEntry& entry() const { return *entry_; }
  SocketHandle callback() const { return callback_.get(); }

 private:
  PreloadTable* table_;
  std::shared_ptr<PreloadEntry> entry_;
  Socket callback_;
};

// Whether the listening socket behind `port` on the loopback address belongs
// to `pid` or its descendants: the environment goes to the program only, not
// to whoever took over a port the program let go of.
const char* CallbackPortProblem(uint32_t pid, int32_t port) {
  const std::vector<SocketId> listeners = FindLoopbackListeners(port);
  if (listeners.empty()) return "cannot be reached on its callback port";
  for (SocketId id : listeners)
    if (!ProcessTreeHoldsSocket(static_cast<ProcessId>(pid), id))
      return "does not hold its callback port";
  return nullptr;
}

// Finds the client's program for the path, waits (at most the registration
// limit) until it has registered its callback port and its pumps run, and
// connects to the port. Nothing when there is no such program, or it never
// registered or cannot be reached (then it is ended, and the caller starts a
// program of its own).
std::optional<Adoption> AdoptPreload(ServerContext& server, const PreloadRequest& request) {
  PreloadTable& table = *server.preloads;
  std::unique_lock<std::mutex> guard(table.lock());
  std::shared_ptr<PreloadEntry> entry =
      table.Find(request.clientNode, request.clientProcessId, request.programPath);
  if (!entry) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + table.limits.registrationLimit;
  const bool ready = table.changed.wait_until(guard, deadline, [&] {
    return !entry->inTable || entry->ended || (entry->waiting && entry->pumps);
  });
  if (!entry->inTable || entry->ended) return std::nullopt;
  const uint32_t pid = entry->programProcessId;
  const int32_t port = entry->callbackPort;
  if (ready) ++entry->inUse;  // from here on the program is not ended for idling
  guard.unlock();
  const char* problem =
      ready ? CallbackPortProblem(pid, port) : "did not register its callback port in time";
  std::optional<Socket> callback;
  if (problem == nullptr) {
    callback = net::ConnectTcp(kLoopback, port);
    if (!callback) problem = "cannot be reached on its callback port";
  }
  if (problem != nullptr) {
    LogMessage(*server.config, "Preloaded program \"%s\" (PID %u) %s; starting it anew",
               request.programPath.c_str(), pid, problem);
    server.runningJobs->KillJobByProcessId(pid);
    if (ready) {
      guard.lock();
      --entry->inUse;
    }
    return std::nullopt;
  }
  return Adoption(table, entry, std::move(*callback));
}

void PointPumps(StreamPumps& pumps, SocketHandle socket, CaptureBuffer* capture) {
  for (PumpContext* pump : {&pumps.input(), &pumps.output(), &pumps.error()}) {
    pump->socket.store(socket);
    pump->capture.store(pump == &pumps.input() ? nullptr : capture);
  }
}

std::optional<RunOutcome> AdoptForRun(ServerContext& server, const PreloadRequest& request,
                                      SocketHandle client) {
  std::optional<Adoption> adopted = AdoptPreload(server, request);
  if (!adopted) return std::nullopt;
  PreloadTable& table = *server.preloads;
  PreloadEntry& entry = adopted->entry();
  {
    std::lock_guard<std::mutex> guard(table.lock());
    entry.ownedByRun = true;  // the run decides its end from now on
    if (entry.pumps) PointPumps(*entry.pumps, client, nullptr);
  }
  server.runningJobs->ClaimRunningJob(entry.programProcessId);
  SendScriptEnvironment(adopted->callback(), request.environment);
  std::unique_lock<std::mutex> guard(table.lock());
  table.changed.wait(guard, [&] { return entry.ended; });
  return RunOutcome{entry.streamFailed ? kStreamFailure : 0, entry.exitStatus};
}

std::optional<int32_t> AdoptForCapture(ServerContext& server, const PreloadRequest& request,
                                       CaptureBuffer& capture) {
  std::optional<Adoption> adopted = AdoptPreload(server, request);
  if (!adopted) return std::nullopt;
  PreloadTable& table = *server.preloads;
  PreloadEntry& entry = adopted->entry();
  std::shared_ptr<StreamPumps> pumps;
  CaptureBuffer* step = nullptr;
  {
    std::lock_guard<std::mutex> guard(table.lock());
    pumps = entry.pumps;
    if (!pumps) return 1;  // ended meanwhile
    entry.captures.push_back(std::make_unique<CaptureBuffer>());
    step = entry.captures.back().get();
    PointPumps(*pumps, kInvalidSocket, step);
  }
  SendScriptEnvironment(adopted->callback(), request.environment);
  int32_t status = 1;
  unsigned char unit[5];
  if (ReadAll(adopted->callback(), unit, sizeof unit) == 0) {
    status = -1;
    for (;;) {
      if (std::memcmp(unit, kStatusMarker, sizeof kStatusMarker) == 0) {
        status = static_cast<signed char>(unit[4]);
        break;
      }
      if (ReadAll(adopted->callback(), unit, sizeof unit) != 0) break;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + kCaptureWait;
  auto left = [&] {
    return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(
                                         deadline - std::chrono::steady_clock::now()));
  };
  // A stream whose 0x04 came is final; one that timed out is left out (its
  // pump may still be writing into the step's buffer, which the entry keeps).
  if (pumps->output().captureComplete.WaitFor(left())) capture.stdoutData = step->stdoutData;
  if (pumps->error().captureComplete.WaitFor(left())) capture.stderrData = step->stderrData;
  std::lock_guard<std::mutex> guard(table.lock());
  PointPumps(*pumps, kInvalidSocket, nullptr);
  return status;
}

std::shared_ptr<PreloadTable> TableOf(ServerContext& server) {
  // Created by InstallPreloadHooks before any request thread runs.
  return server.preloads;
}

}  // namespace

void InstallPreloadHooks(ServerContext& server, const PreloadLimits& limits, PreloadClock clock) {
  if (!server.preloads)
    server.preloads = std::make_shared<PreloadTable>(*server.runningJobs, std::move(clock));
  server.preloads->limits = limits;
  server.runHooks.adoptPreloadForRun = [&server](const PreloadRequest& r, SocketHandle client) {
    return AdoptForRun(server, r, client);
  };
  server.runHooks.adoptPreloadForCapture = [&server](const PreloadRequest& r,
                                                     CaptureBuffer& capture) {
    return AdoptForCapture(server, r, capture);
  };
  // The dialog request starts, releases and cancels preloaded programs.
  server.preloadHooks = std::make_shared<PreloadHooks>();
  server.preloadHooks->start = [&server](const PreloadStart& s) {
    LaunchPreload(server, s.job, s.clientNode, s.clientProcessId, s.arguments, s.environment);
  };
  server.preloadHooks->release = [&server](std::string_view node, uint32_t clientProcessId,
                                           std::string_view program) {
    ReleasePreload(server, std::string(node), clientProcessId, std::string(program));
  };
  server.preloadHooks->killAll = [&server](std::string_view node, uint32_t clientProcessId) {
    KillPreload(server, std::string(node), clientProcessId);
  };
}

void LaunchPreload(ServerContext& server, const JobDefinition& job, const std::string& clientNode,
                   uint32_t clientProcessId, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment) {
  std::shared_ptr<PreloadTable> table = TableOf(server);
  if (!table || arguments.empty()) return;
  // The dialog's announcement is claimed here, before anything starts, so
  // the limit on running programs per node holds however many dialogs open
  // at once. Without an announcement (or after it expired) nothing starts.
  std::shared_ptr<PreloadEntry> entry;
  bool refused = false;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    table->DropExpired();
    entry = table->Find(clientNode, clientProcessId, arguments[0], true);
    if (entry && table->ProgramsOf(clientNode) >= table->limits.programsPerNode) {
      table->Free(entry);
      refused = true;
    } else if (entry) {
      entry->claimed = true;
    }
  }
  if (refused) {
    LogMessage(*server.config,
               "%s@%s Preloaded program \"%s\" not started: the node already runs %zu preloaded "
               "programs",
               VariableOf(environment, "KESCLIENTUSERNAME").value_or("").c_str(),
               clientNode.c_str(), arguments[0].c_str(), table->limits.programsPerNode);
  }
  if (!entry || refused) return;
  auto record = std::make_shared<LaunchRecord>();
  record->server = &server;
  record->entry = entry;
  record->jobName = job.name;
  record->useTty = job.useTty;
  record->clientNode = clientNode;
  record->clientProcessId = clientProcessId;
  record->lockValue = LockValueOf(job.lockParameter, arguments);
  record->arguments = arguments;
  record->environment = environment;
  try {
    std::thread(RunPreload, table, record).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> guard(table->lock());
    table->Free(entry);  // no thread: nothing started
    return;
  }
  record->started.WaitFor(kLaunchWait);
}

void KillPreload(ServerContext& server, const std::string& clientNode, uint32_t clientProcessId) {
  std::shared_ptr<PreloadTable> table = TableOf(server);
  if (!table) return;
  std::vector<uint32_t> pids;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    for (const auto& entry : table->EntriesOf(clientNode, clientProcessId)) {
      if (entry->programProcessId != 0) {
        pids.push_back(entry->programProcessId);
      } else {
        // Not started yet: freed now, so a program that starts later finds
        // no entry and is ended before it runs.
        table->Free(entry);
      }
    }
  }
  // Through the running-job table, which kills only its own live entries, so
  // an id whose program has just ended is never signalled.
  for (uint32_t pid : pids) server.runningJobs->KillJobByProcessId(pid);
}

void ReleasePreload(ServerContext& server, const std::string& clientNode, uint32_t clientProcessId,
                    const std::string& programPath) {
  std::shared_ptr<PreloadTable> table = TableOf(server);
  if (!table) return;
  uint32_t pid = 0;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    std::shared_ptr<PreloadEntry> entry = table->Find(clientNode, clientProcessId, programPath);
    if (!entry) return;
    pid = entry->programProcessId;
    table->Free(entry);
  }
  if (pid != 0) server.runningJobs->KillJobByProcessId(pid);
}

void StartBackgroundScript(RequestContext& rc) {
  const auto request = messages::StartBackgroundScriptRequest::Decode(rc.request);
  const std::string& node = request.clientNode;
  const std::string& user = request.clientUser;
  const uint32_t clientPid = static_cast<uint32_t>(request.clientProcessId);
  const std::string& jobName = request.job;
  std::shared_ptr<PreloadTable> table = TableOf(rc.server);
  if (!table) return;
  const PreloadLimits& limits = table->limits;
  if (node.size() > limits.nodeNameBytes) {
    LogMessage(*rc.server.config,
               "Preload announcement refused: a client node name of %zu bytes is longer than %zu",
               node.size(), limits.nodeNameBytes);
    return;
  }
  std::optional<JobDefinition> job = FindJobForUser(*rc.server.config, jobName, user);
  if (!job || job->preload.empty()) return;
  LogMessage(*rc.server.config, "%s@%s Preloading Script \"%s\"", user.c_str(), node.c_str(),
             job->preload.c_str());
  AnnounceResult result;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    result = table->Register(node, clientPid, job->preload);
  }
  if (result == AnnounceResult::kNodeFull)
    LogMessage(*rc.server.config,
               "%s@%s Preloading refused: the node has %zu preloads announced already",
               user.c_str(), node.c_str(), limits.entriesPerNode);
  if (result == AnnounceResult::kTableFull)
    LogMessage(*rc.server.config, "%s@%s Preloading refused: %zu preloads are announced already",
               user.c_str(), node.c_str(), limits.entriesInAll);
}

namespace {

// True when the connection `socket` was made by the process `root` or one of
// its descendants: the socket at its other end is held by one of them.
bool ComesFromProgram(SocketHandle socket, uint32_t root) {
  TcpEndpoint own, peer;
  if (!net::LocalEndpoint(socket, &own.address, &own.port) ||
      !net::PeerEndpoint(socket, &peer.address, &peer.port))
    return false;
  // The other end's own end is our peer.
  const std::optional<SocketId> id = FindTcpSocket(peer, own);
  return id && ProcessTreeHoldsSocket(static_cast<ProcessId>(root), *id);
}

// The entries named by the process ids of a callback request (its own first,
// then its parent's) that the request's connection really comes from.
// `named` tells whether any entry was named at all.
std::shared_ptr<PreloadEntry> EntryOfCaller(RequestContext& rc, PreloadTable& table,
                                            std::initializer_list<int32_t> pids, bool* named) {
  std::vector<std::pair<std::shared_ptr<PreloadEntry>, uint32_t>> candidates;
  {
    std::lock_guard<std::mutex> guard(table.lock());
    for (int32_t pid : pids)
      if (auto entry = table.FindByProcessId(static_cast<uint32_t>(pid)))
        candidates.emplace_back(entry, entry->programProcessId);
  }
  *named = !candidates.empty();
  // The descriptors are read without the lock; the entry is checked again
  // by the caller under it.
  for (const auto& [entry, root] : candidates)
    if (ComesFromProgram(rc.socket, root)) return entry;
  return nullptr;
}

using messages::CallbackResult;

void Answer(RequestContext& rc, CallbackResult result) {
  messages::CallbackReply{result}.Encode(rc.reply);
}

}  // namespace

void RegisterWaitingForCallback(RequestContext& rc) {
  const auto request = messages::RegisterWaitingForCallbackRequest::Decode(rc.request);
  const std::string& client = request.client;
  const int32_t pid = request.processId;
  const int32_t parentPid = request.parentProcessId;
  const int32_t port = request.port;
  LogMessage(*rc.server.config,
             "Script for client \"%s\" registers waiting PID %ld PPID %ld port %ld", client.c_str(),
             static_cast<long>(pid), static_cast<long>(parentPid), static_cast<long>(port));
  std::shared_ptr<PreloadTable> table = TableOf(rc.server);
  bool named = false;
  std::shared_ptr<PreloadEntry> entry =
      table ? EntryOfCaller(rc, *table, {pid, parentPid}, &named) : nullptr;
  if (named && !entry) {
    LogMessage(*rc.server.config,
               "Callback registration for PID %ld PPID %ld port %ld refused: the request does not "
               "come from that program",
               static_cast<long>(pid), static_cast<long>(parentPid), static_cast<long>(port));
    return Answer(rc, CallbackResult::Refused);
  }
  if (entry && port > 0 && port < 65536) {
    std::lock_guard<std::mutex> guard(table->lock());
    if (entry->inTable) {
      entry->waiting = true;
      entry->callbackPort = port;
      table->changed.notify_all();
    }
  }
  Answer(rc, CallbackResult::Accepted);
}

void UnregisterWaitingForCallback(RequestContext& rc) {
  const auto request = messages::UnregisterWaitingForCallbackRequest::Decode(rc.request);
  const std::string& client = request.client;
  const int32_t pid = request.processId;
  LogMessage(*rc.server.config, "Client Script on client \"%s\" deregisters from waiting PID %ld",
             client.c_str(), static_cast<long>(pid));
  std::shared_ptr<PreloadTable> table = TableOf(rc.server);
  bool named = false;
  std::shared_ptr<PreloadEntry> entry = table ? EntryOfCaller(rc, *table, {pid}, &named) : nullptr;
  if (named && !entry) {
    LogMessage(*rc.server.config,
               "Callback deregistration for PID %ld refused: the request does not come from that "
               "program",
               static_cast<long>(pid));
    return Answer(rc, CallbackResult::Refused);
  }
  if (entry) {
    std::lock_guard<std::mutex> guard(table->lock());
    // The program keeps running (its run thread still owns it, and ends it
    // once it has idled too long); it is just no longer offered for adoption.
    if (entry->inTable) table->Free(entry);
  }
  Answer(rc, CallbackResult::Accepted);
}

}  // namespace kestrun
