#include "jobs/preload.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "base/environment.h"
#include "base/log.h"
#include "config/server_config.h"
#include "jobs/preload_table.h"
#include "launch/launch_options.h"
#include "platform/interrupts.h"
#include "platform/pipe.h"
#include "platform/process_tree.h"
#include "platform/suspended_process.h"
#include "platform/wakeup.h"

namespace kestrun {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kLaunchWait{5000};
constexpr milliseconds kCaptureWait{10000};
constexpr unsigned char kStatusMarker[4] = {0x23, 0x7A, 0x6F, 0x1F};

// What the run thread works from: copies, shared with the launcher so that
// neither frees what the other still uses, whatever the launcher's wait does.
struct LaunchRecord {
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

void RunPreload(std::shared_ptr<PreloadTable> table, std::shared_ptr<LaunchRecord> record) {
  // Resuming a program killed meanwhile writes to a pipe nobody reads.
  BlockBrokenPipeSignal();
  std::optional<Pipe> in = CreatePipe(), out = CreatePipe(), err = CreatePipe();
  std::optional<Wakeup> stop = Wakeup::Create();
  if (!in || !out || !err || !stop || record->arguments.empty()) {
    record->started.Set();
    return;
  }
  std::optional<std::string> terminalHome;
  if (record->useTty) terminalHome = GetEnvLocked("KESTRUNHOME").value_or("");
  // A marker of its own, so that processes the program leaves behind are
  // found and killed with it.
  const std::string marker = NewRunMarker();
  LaunchOptions options =
      LaunchOptionsFor(record->arguments, record->environment, terminalHome, marker);
  options.descriptors = {in->read.get(), out->write.get(), err->write.get()};
  int error = 0;
  std::optional<SuspendedStart> start = LaunchSuspended(options, &error);
  if (!start) {
    record->started.Set();
    return;
  }
  Process& process = start->process();
  const uint32_t pid = static_cast<uint32_t>(process.pid());
  RunningJobEntry listed(table->jobs(), pid, record->jobName,
                         VariableOf(record->environment, "KESCLIENTUSERNAME"), record->lockValue,
                         marker);
  in->read.Reset();
  out->write.Reset();
  err->write.Reset();

  std::shared_ptr<PreloadEntry> entry;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    entry = table->Find(record->clientNode, record->clientProcessId, record->arguments[0], true);
    if (entry) entry->programProcessId = entry->programThreadId = pid;
  }
  if (!entry) {
    // Nobody announced this program: it is ended before it ever runs
    // (the listing goes first; the Process owner kills and reaps it).
    listed.Remove();
    start.reset();
    record->started.Set();
    return;
  }
  const int execError = start->Resume();
  record->started.Set();

  auto pumps = std::make_shared<StreamPumps>(std::move(in->write), std::move(out->read),
                                             std::move(err->read), std::move(*stop), kInvalidSocket,
                                             nullptr);
  const int pumpError = execError == 0 ? pumps->Start() : 0;
  {
    std::lock_guard<std::mutex> guard(table->lock());
    entry->pumps = pumps;
    table->changed.notify_all();
  }
  if (pumpError != 0) KillProcessTree(process.pid());
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

// An adopted program: its entry and the callback connection to it.
struct Adoption {
  std::shared_ptr<PreloadEntry> entry;
  Socket callback;
};

// Finds the client's program for the path, waits (at most 30 s) until it has
// registered its callback port and its pumps run, and connects to the port.
// Nothing when there is no such program, or it never registered or cannot be
// reached (then it is ended, and the caller starts a program of its own).
std::optional<Adoption> AdoptPreload(ServerContext& server, const PreloadRequest& request) {
  PreloadTable& table = *server.preloads;
  std::unique_lock<std::mutex> guard(table.lock());
  std::shared_ptr<PreloadEntry> entry =
      table.Find(request.clientNode, request.clientProcessId, request.programPath);
  if (!entry) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + table.registrationLimit;
  const bool ready = table.changed.wait_until(guard, deadline, [&] {
    return !entry->inTable || entry->ended || (entry->waiting && entry->pumps);
  });
  if (!entry->inTable || entry->ended) return std::nullopt;
  const uint32_t pid = entry->programProcessId;
  const int32_t port = entry->callbackPort;
  guard.unlock();
  const char* problem = nullptr;
  std::optional<Socket> callback;
  if (!ready) {
    problem = "did not register its callback port in time";
  } else if (std::optional<uint32_t> local = net::ResolveIPv4("localhost")) {
    callback = net::ConnectTcp(*local, port);
    if (!callback) problem = "cannot be reached on its callback port";
  }
  if (problem != nullptr) {
    LogMessage(*server.config, "Preloaded program \"%s\" (PID %u) %s; starting it anew",
               request.programPath.c_str(), pid, problem);
    server.runningJobs->KillJobByProcessId(pid);
    return std::nullopt;
  }
  return Adoption{entry, std::move(*callback)};
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
  PreloadEntry& entry = *adopted->entry;
  {
    std::lock_guard<std::mutex> guard(table.lock());
    if (entry.pumps) PointPumps(*entry.pumps, client, nullptr);
  }
  server.runningJobs->ClaimRunningJob(entry.programProcessId);
  SendScriptEnvironment(adopted->callback.get(), request.environment);
  std::unique_lock<std::mutex> guard(table.lock());
  table.changed.wait(guard, [&] { return entry.ended; });
  return RunOutcome{entry.streamFailed ? kStreamFailure : 0, entry.exitStatus};
}

std::optional<int32_t> AdoptForCapture(ServerContext& server, const PreloadRequest& request,
                                       CaptureBuffer& capture) {
  std::optional<Adoption> adopted = AdoptPreload(server, request);
  if (!adopted) return std::nullopt;
  PreloadTable& table = *server.preloads;
  PreloadEntry& entry = *adopted->entry;
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
  SendScriptEnvironment(adopted->callback.get(), request.environment);
  int32_t status = 1;
  unsigned char unit[5];
  if (ReadAll(adopted->callback.get(), unit, sizeof unit) == 0) {
    status = -1;
    for (;;) {
      if (std::memcmp(unit, kStatusMarker, sizeof kStatusMarker) == 0) {
        status = static_cast<signed char>(unit[4]);
        break;
      }
      if (ReadAll(adopted->callback.get(), unit, sizeof unit) != 0) break;
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

void InstallPreloadHooks(ServerContext& server, milliseconds registrationLimit) {
  if (!server.preloads) server.preloads = std::make_shared<PreloadTable>(*server.runningJobs);
  server.preloads->registrationLimit = registrationLimit;
  server.runHooks.adoptPreloadForRun = [&server](const PreloadRequest& r, SocketHandle client) {
    return AdoptForRun(server, r, client);
  };
  server.runHooks.adoptPreloadForCapture = [&server](const PreloadRequest& r,
                                                     CaptureBuffer& capture) {
    return AdoptForCapture(server, r, capture);
  };
  // The dialog request starts, releases and cancels preloaded programs.
  server.preloadHooks.start = [&server](const PreloadStart& s) {
    LaunchPreload(server, s.job, s.clientNode, s.clientProcessId, s.arguments, s.environment);
  };
  server.preloadHooks.release = [&server](std::string_view node, uint32_t clientProcessId,
                                          std::string_view program) {
    ReleasePreload(server, std::string(node), clientProcessId, std::string(program));
  };
  server.preloadHooks.killAll = [&server](std::string_view node, uint32_t clientProcessId) {
    KillPreload(server, std::string(node), clientProcessId);
  };
}

void LaunchPreload(ServerContext& server, const JobDefinition& job, const std::string& clientNode,
                   uint32_t clientProcessId, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment) {
  std::shared_ptr<PreloadTable> table = TableOf(server);
  if (!table || arguments.empty()) return;
  auto record = std::make_shared<LaunchRecord>();
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
    return;  // no thread: nothing started
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
  const std::string node = rc.request.GetString();
  const std::string user = rc.request.GetString();
  const uint32_t clientPid = static_cast<uint32_t>(rc.request.GetLong());
  const std::string jobName = rc.request.GetString();
  std::shared_ptr<PreloadTable> table = TableOf(rc.server);
  if (!table) return;
  std::optional<JobDefinition> job = FindJobForUser(*rc.server.config, jobName, user);
  if (!job || job->preload.empty()) return;
  LogMessage(*rc.server.config, "%s@%s Preloading Script \"%s\"", user.c_str(), node.c_str(),
             job->preload.c_str());
  std::lock_guard<std::mutex> guard(table->lock());
  table->Register(node, clientPid, job->preload, static_cast<int64_t>(std::time(nullptr)));
}

void RegisterWaitingForCallback(RequestContext& rc) {
  const std::string client = rc.request.GetString();
  const int32_t pid = rc.request.GetLong();
  const int32_t parentPid = rc.request.GetLong();
  const int32_t port = rc.request.GetLong();
  rc.request.GetLong();  // not used
  LogMessage(*rc.server.config,
             "Script for client \"%s\" registers waiting PID %ld PPID %ld port %ld", client.c_str(),
             static_cast<long>(pid), static_cast<long>(parentPid), static_cast<long>(port));
  if (std::shared_ptr<PreloadTable> table = TableOf(rc.server)) {
    std::lock_guard<std::mutex> guard(table->lock());
    std::shared_ptr<PreloadEntry> entry = table->FindByProcessId(static_cast<uint32_t>(pid));
    if (!entry) entry = table->FindByProcessId(static_cast<uint32_t>(parentPid));
    if (entry && port > 0 && port < 65536) {
      entry->waiting = true;
      entry->callbackPort = port;
      table->changed.notify_all();
    }
  }
  rc.reply.AddEnum(1);
}

void UnregisterWaitingForCallback(RequestContext& rc) {
  const std::string client = rc.request.GetString();
  const int32_t pid = rc.request.GetLong();
  LogMessage(*rc.server.config, "Client Script on client \"%s\" deregisters from waiting PID %ld",
             client.c_str(), static_cast<long>(pid));
  if (std::shared_ptr<PreloadTable> table = TableOf(rc.server)) {
    std::lock_guard<std::mutex> guard(table->lock());
    // The program keeps running (its run thread still owns it); it is just no
    // longer offered for adoption.
    if (auto entry = table->FindByProcessId(static_cast<uint32_t>(pid))) table->Free(entry);
  }
  rc.reply.AddEnum(1);
}

}  // namespace kestrun
