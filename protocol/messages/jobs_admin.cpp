#include "protocol/messages/jobs_admin.h"

#include "protocol/messages/reply_parts.h"

namespace kestrun::messages {

void EchoRequest::Encode(XDRWRAP& out) const {
  out.AddLong(value);
}

EchoRequest EchoRequest::Decode(XDRWRAP& in) {
  return {in.GetLong()};
}

void EchoReply::Encode(XDRWRAP& out) const {
  AddResult(out, kResult);
  out.AddLong(value);
}

EchoReply EchoReply::Decode(XDRWRAP& in) {
  ExpectResult(in, kResult);
  return {in.GetLong()};
}

void StopRequest::Encode(XDRWRAP& out) const {
  out.AddLong(static_cast<int32_t>(stopId));
}

StopRequest StopRequest::Decode(XDRWRAP& in) {
  return {static_cast<uint32_t>(in.GetLong())};
}

void ShutdownReply::Encode(XDRWRAP& out) const {
  AddResult(out, kResult);
}

ShutdownReply ShutdownReply::Decode(XDRWRAP& in) {
  ExpectResult(in, kResult);
  return {};
}

void DumpClientNodeNamesRequest::Encode(XDRWRAP& out) const {
  out.AddLong(selector);
}

DumpClientNodeNamesRequest DumpClientNodeNamesRequest::Decode(XDRWRAP& in) {
  return {in.GetLong()};
}

void DumpClientNodeNamesReply::Encode(XDRWRAP& out) const {
  EncodeWithin(out);
}

size_t DumpClientNodeNamesReply::EncodeWithin(XDRWRAP& out) const {
  return AddListWithin(
      out, clients, [](const DockedClientEntry& c) -> const std::string& { return c.hostName; },
      [](XDRWRAP& o, const DockedClientEntry& c) {
        o.AddString(c.hostName);
        o.AddString(c.userName);
        o.AddLong(static_cast<int32_t>(c.address));
        o.AddLong(c.udpPort);
      });
}

std::optional<DockedClientEntry> DockedClientEntry::DecodeNext(XDRWRAP& in) {
  DockedClientEntry c;
  c.hostName = in.GetString();
  if (c.hostName.empty()) return std::nullopt;
  c.userName = in.GetString();
  c.address = static_cast<uint32_t>(in.GetLong());
  c.udpPort = in.GetLong();
  return c;
}

DumpClientNodeNamesReply DumpClientNodeNamesReply::Decode(XDRWRAP& in) {
  DumpClientNodeNamesReply reply;
  while (std::optional<DockedClientEntry> c = DockedClientEntry::DecodeNext(in))
    reply.clients.push_back(std::move(*c));
  return reply;
}

void ShowHelpTextRequest::Encode(XDRWRAP& out) const {
  out.AddString(userName);
  out.AddLong(static_cast<int32_t>(attributeNames.size()));
  for (const std::string& name : attributeNames) out.AddString(name);
}

ShowHelpTextRequest ShowHelpTextRequest::Decode(XDRWRAP& in) {
  ShowHelpTextRequest request;
  request.userName = in.GetString();
  const int32_t count = in.GetLong();
  for (int32_t k = 0; k < count; ++k) request.attributeNames.push_back(in.GetString());
  return request;
}

// Not bounded: the list of jobs is the administrator's configuration, not
// something a peer can grow.
void ShowHelpTextReply::Encode(XDRWRAP& out) const {
  for (const JobHelpEntry& job : jobs) {
    if (job.name.empty()) continue;
    out.AddString(job.name);
    out.AddString(job.helpText);
    for (const std::string& value : job.attributeValues) {
      out.AddChar(1);
      out.AddString(value);
    }
    out.AddChar(0);
  }
  out.AddString("");
}

ShowHelpTextReply ShowHelpTextReply::Decode(XDRWRAP& in) {
  ShowHelpTextReply reply;
  ReadList(in, reply.jobs, [](XDRWRAP& i, std::string name) {
    JobHelpEntry job{std::move(name), i.GetString(), {}};
    while (i.GetBool()) job.attributeValues.push_back(i.GetString());
    return job;
  });
  return reply;
}

void GetActiveJobsReply::Encode(XDRWRAP& out) const {
  EncodeWithin(out);
}

size_t GetActiveJobsReply::EncodeWithin(XDRWRAP& out) const {
  return AddListWithin(
      out, jobs, [](const ActiveJobEntry& j) -> const std::string& { return j.jobName; },
      [](XDRWRAP& o, const ActiveJobEntry& j) {
        o.AddString(j.jobName);
        o.AddString(j.lockValue);
        o.AddString(j.clientUser);
        o.AddLong(j.processId);
        o.AddLong(static_cast<int32_t>(j.startTime));
      });
}

std::optional<ActiveJobEntry> ActiveJobEntry::DecodeNext(XDRWRAP& in) {
  ActiveJobEntry j;
  j.jobName = in.GetString();
  if (j.jobName.empty()) return std::nullopt;
  j.lockValue = in.GetString();
  j.clientUser = in.GetString();
  j.processId = in.GetLong();
  j.startTime = static_cast<uint32_t>(in.GetLong());
  return j;
}

GetActiveJobsReply GetActiveJobsReply::Decode(XDRWRAP& in) {
  GetActiveJobsReply reply;
  while (std::optional<ActiveJobEntry> j = ActiveJobEntry::DecodeNext(in))
    reply.jobs.push_back(std::move(*j));
  return reply;
}

void KillJobRequest::Encode(XDRWRAP& out) const {
  out.AddLong(processId);
}

KillJobRequest KillJobRequest::Decode(XDRWRAP& in) {
  return {in.GetLong()};
}

void KillJobKilled::Encode(XDRWRAP& out) const {
  AddResult(out, kResult);
  out.AddString(jobName);
}

KillJobKilled KillJobKilled::Decode(XDRWRAP& in) {
  ExpectResult(in, kResult);
  return {in.GetString()};
}

void KillJobRefused::Encode(XDRWRAP& out) const {
  AddResult(out, kResult);
}

KillJobRefused KillJobRefused::Decode(XDRWRAP& in) {
  ExpectResult(in, kResult);
  return {};
}

KillJobReply DecodeKillJobReply(XDRWRAP& in) {
  if (in.GetEnum() != static_cast<int32_t>(KillJobResult::kKilled)) return KillJobRefused{};
  return KillJobKilled{in.GetString()};
}

}  // namespace kestrun::messages
