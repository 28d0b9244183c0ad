// Windows: the TCP table of IP Helper (GetExtendedTcpTable) lists every IPv4
// connection and listener with the id of the process that owns it. A
// SocketId here packs that owner with the socket's own port, so that a
// holder can be checked against a process tree without a second look-up.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

#include <unordered_map>

#include "platform/process_tree.h"
#include "platform/socket_owner.h"
#include "platform/wide_win32.h"

namespace kestrun {

namespace {

std::vector<MIB_TCPROW_OWNER_PID> TcpTable() {
  std::vector<char> buffer(16384);
  for (int tries = 0; tries < 4; ++tries) {
    DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD rc =
        ::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
    if (rc == NO_ERROR) {
      const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
      return {table->table, table->table + table->dwNumEntries};
    }
    if (rc != ERROR_INSUFFICIENT_BUFFER) break;
    buffer.resize(size + 4096);
  }
  return {};
}

int PortOf(DWORD networkPort) {
  return ntohs(static_cast<u_short>(networkPort));
}

SocketId IdOf(const MIB_TCPROW_OWNER_PID& row) {
  return (static_cast<uint64_t>(row.dwOwningPid) << 32) |
         (static_cast<uint64_t>(PortOf(row.dwLocalPort)) << 16) | 1;
}

ProcessId HolderOf(SocketId id) {
  return static_cast<ProcessId>(id >> 32);
}

}  // namespace

std::optional<SocketId> FindTcpSocket(TcpEndpoint own, TcpEndpoint peer) {
  for (const MIB_TCPROW_OWNER_PID& row : TcpTable()) {
    if (row.dwState == MIB_TCP_STATE_LISTEN) continue;
    if (ntohl(row.dwLocalAddr) == own.address && PortOf(row.dwLocalPort) == own.port &&
        ntohl(row.dwRemoteAddr) == peer.address && PortOf(row.dwRemotePort) == peer.port &&
        row.dwOwningPid != 0)
      return IdOf(row);
  }
  return std::nullopt;
}

std::vector<SocketId> FindLoopbackListeners(int port) {
  std::vector<SocketId> ids;
  for (const MIB_TCPROW_OWNER_PID& row : TcpTable()) {
    if (row.dwState != MIB_TCP_STATE_LISTEN || PortOf(row.dwLocalPort) != port) continue;
    const uint32_t address = ntohl(row.dwLocalAddr);
    if (address == 0 || (address >> 24) == 127) ids.push_back(IdOf(row));
  }
  return ids;
}

bool ProcessTreeHoldsSocket(ProcessId root, SocketId id) {
  const ProcessId holder = HolderOf(id);
  if (holder == root) return true;
  for (const ProcessId pid : KillOrder(TakeProcessSnapshot(), root)) {
    if (pid == holder) return true;
  }
  return false;
}

bool AncestorHoldsSocket(SocketId id) {
  const ProcessId holder = HolderOf(id);
  std::unordered_map<ProcessId, ProcessId> parents;
  for (const ProcessEntry& e : TakeProcessSnapshot()) parents[e.pid] = e.parentPid;
  ProcessId pid = static_cast<ProcessId>(::GetCurrentProcessId());
  for (int step = 0; step < 64; ++step) {
    const auto it = parents.find(pid);
    if (it == parents.end() || it->second == 0 || it->second == pid) return false;
    pid = it->second;
    if (pid == holder) return true;
  }
  return false;
}

}  // namespace kestrun
