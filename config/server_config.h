// The server's configuration: the global settings of kestrun.conf and the live
// job list, read by LoadServerConfig and re-read by ReloadServerConfig.
//
// Threads. Loads and reloads run one at a time: the start-up thread loads,
// then the listener (before each request) and the minute timer (the
// scheduler's step) reload, serialised by reloadLock_. Every other thread
// only reads.
// - The settings a reload never changes (port, address, logFile, server, configPath,
//   processId, keepOrphans) are written by LoadServerConfig before any other thread starts
//   and are read freely afterwards.
// - Everything a reload rebuilds (jobs, field-name blocks, schedule and the
//   re-read globals) lives in one immutable ConfigSnapshot. A reload builds a
//   complete new snapshot and publishes it in one step; readers take the
//   current snapshot (a shared_ptr copy under snapshotLock_) and keep it alive
//   for as long as they use it, so no reader ever sees a list being released.
// - snapshotLock_ guards only the snapshot pointer; it is held for the pointer
//   copy or swap and nothing else, never while the environment lock is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/log.h"
#include "config/group_processor.h"
#include "config/job_definition.h"
#include "config/schedule.h"

namespace kestrun {

// Everything one read of kestrun.conf builds, never changed once published.
struct ConfigSnapshot {
  // Global settings re-read at every read. relayPort, banner and
  // groupProcessorPath carry over from the previous read unless the file sets
  // them again; the others are cleared by a reload.
  std::string environment;
  std::string bannerGraphic;
  std::string relayServer;
  int32_t relayPort = 0;
  // `relayclients`: the IPv4 addresses (host order), besides loopback, from
  // which this server accepts relay requests; every line adds to the list.
  std::vector<uint32_t> relayClients;
  bool banner = false;
  std::string groupProcessorPath;
  // The run history's defaults for jobs without their own: output bytes
  // kept per run (`historyoutput`) and days records are kept (`historydays`).
  int32_t historyOutput = 1024 * 1024;
  int32_t historyDays = 90;

  std::vector<JobDefinition> jobs;  // stanzas in file order
  std::vector<FieldNameBlock> fieldNameBlocks;
  std::vector<ScheduleEntry> schedule;
  // Upper-cased job name -> index of the first job of that name.
  std::unordered_map<std::string, size_t> jobIndex;

  // The first job whose name equals `name` without regard to case, or null.
  const JobDefinition* FindJob(std::string_view name) const;
};

// A snapshot's job list: iterate it in file order. It keeps the snapshot alive.
class JobList {
 public:
  explicit JobList(std::shared_ptr<const ConfigSnapshot> snapshot)
      : snapshot_(std::move(snapshot)) {}
  std::vector<JobDefinition>::const_iterator begin() const { return snapshot_->jobs.begin(); }
  std::vector<JobDefinition>::const_iterator end() const { return snapshot_->jobs.end(); }
  size_t size() const { return snapshot_->jobs.size(); }
  bool empty() const { return snapshot_->jobs.empty(); }
  const JobDefinition& operator[](size_t k) const { return snapshot_->jobs[k]; }
  const ConfigSnapshot& snapshot() const { return *snapshot_; }

 private:
  std::shared_ptr<const ConfigSnapshot> snapshot_;
};

// The web console's settings, from the global part of kestrun.conf. Read
// once, at start-up (a reload keeps them).
struct WebSettings {
  int32_t port = 0;                           // `webport`; 0: no web console
  std::string address = "127.0.0.1";          // `webaddress`
  std::string cert;                           // `webcert`: PEM certificate chain
  std::string key;                            // `webkey`: PEM private key
  bool insecure = false;                      // `webinsecure`: password logins over plain HTTP
  bool proxyAuth = false;                     // `webauth = proxy` (default pam)
  std::string pamService = "kestrun";         // `webpamservice`
  std::string proxyHeader = "X-Remote-User";  // `webproxyheader`
  std::vector<uint32_t> proxyAddresses;       // `webproxyaddresses` (host order)
  std::string admins;                         // `webadmins`: group list as written
  std::string url;                            // `weburl`: the address others reach it at
  bool tls() const { return !cert.empty() && !key.empty(); }
};

// The address of the web console as other machines reach it: `weburl` when
// set (without a trailing "/"); otherwise http or https (by TLS), the
// `webaddress` (`hostName` in its place when it is a wildcard such as
// 0.0.0.0 or ::, an IPv6 address in brackets) and the port. Empty when
// there is no web console (no `webport`).
std::string ConsoleAddress(const WebSettings& web, const std::string& hostName);

class ServerConfig : public ServerLog {
 public:
  // An empty configuration (port -1, no jobs) for the file at `configPath`.
  explicit ServerConfig(std::string configPath = {});
  ServerConfig(const ServerConfig&) = delete;
  ServerConfig& operator=(const ServerConfig&) = delete;

  // --- set before the first read; kept across reloads ---
  const std::string& configPath() const { return configPath_; }
  void SetConfigPath(std::string path) { configPath_ = std::move(path); }
  int32_t port() const { return port_; }  // -1 until read
  // logFile() and SetLogFile() come from ServerLog: the `logfile` setting,
  // unexpanded. SetLogFile is for programs and tests that log without a
  // kestrun.conf; call it before other threads use the configuration.
  const std::string& server() const { return server_; }
  // The `address` setting: the address the server listens on; empty: every
  // address.
  const std::string& listenAddress() const { return listenAddress_; }
  int32_t processId() const { return processId_; }
  // `keeporphans`: leave the runs of an earlier, killed server of this home
  // running at start-up instead of ending them. Off unless set.
  bool keepOrphans() const { return keepOrphans_; }
  // `history`: the run history file as written (empty: the default,
  // $KESTRUNHOME/history.db; "off": none). Read once, at start-up.
  const std::string& historySetting() const { return history_; }
  // `servername`: this server's name in a shared run history (empty: the
  // host name). Read once, at start-up.
  const std::string& serverName() const { return serverName_; }
  // The web console's settings (`web...`).
  const WebSettings& web() const { return web_; }
  bool groupProcessorReady() const { return groupProcessor_.ready(); }
  // The group-processor binding and its per-user cache; kept across reloads.
  // Any thread may use it (config/group_processor.h).
  GroupProcessor& groupProcessor() const { return groupProcessor_; }
  // Modification time (ns) of the file when it was last read.
  int64_t configTime() const { return configTime_.load(); }

  // --- rebuilt by every read: copies taken from the current snapshot ---
  std::shared_ptr<const ConfigSnapshot> Snapshot() const;
  JobList Jobs() const { return JobList(Snapshot()); }
  std::string environment() const { return Snapshot()->environment; }
  std::string relayServer() const { return Snapshot()->relayServer; }
  int32_t relayPort() const { return Snapshot()->relayPort; }
  std::vector<uint32_t> relayClients() const { return Snapshot()->relayClients; }
  bool banner() const { return Snapshot()->banner; }
  std::string bannerGraphic() const { return Snapshot()->bannerGraphic; }
  std::string groupProcessorPath() const { return Snapshot()->groupProcessorPath; }

 private:
  friend class ConfigReader;
  friend void LoadServerConfig(ServerConfig& config);
  friend void ReloadServerConfig(ServerConfig& config);
  void Publish(std::shared_ptr<const ConfigSnapshot> snapshot);

  std::string configPath_;
  int32_t port_ = -1;
  std::string server_;
  std::string listenAddress_;
  int32_t processId_ = 0;
  bool keepOrphans_ = false;
  std::string history_;
  std::string serverName_;
  WebSettings web_;
  mutable GroupProcessor groupProcessor_;
  std::atomic<int64_t> configTime_{0};

  std::mutex reloadLock_;            // held for the whole of one reload
  mutable std::mutex snapshotLock_;  // guards snapshot_ (the pointer only)
  std::shared_ptr<const ConfigSnapshot> snapshot_;
};

// The address of a dotted IPv4 text "a.b.c.d" (four decimal octets 0..255,
// blanks around it ignored), in host order; nullopt for anything else.
std::optional<uint32_t> ParseIPv4Address(std::string_view text);

// First read of kestrun.conf: records the process id and reads the file.
// Warnings go to standard error and the log, unknown directives to standard
// output and the log. A file that cannot be opened or a syntax error ends the
// process with status 1. Call before other threads use `config`.
void LoadServerConfig(ServerConfig& config);

// Reads the file again and publishes the new job list. Settings taken only on
// the first read keep their values. Problems are logged (unknown directives
// also printed on standard output); nothing ends the process: a file that
// cannot be opened leaves the current configuration in force. Any thread may
// reload; reloads run one at a time.
void ReloadServerConfig(ServerConfig& config);

// True when the file's modification time is later than when it was last read
// (false when its status cannot be read).
bool ConfigFileChanged(const ServerConfig& config);

// A private copy of the first job named `name` (without regard to case), or
// nullopt. With a user name, a job restricted by `group` is returned only if
// IsUserInGroups says the user belongs; otherwise *denied (when given) is set
// to true. *denied is false in every other case. Any thread may call.
std::optional<JobDefinition> FindJobForUser(const ServerConfig& config, std::string_view name,
                                            std::optional<std::string_view> user,
                                            bool* denied = nullptr);

}  // namespace kestrun
