#include "protocol/messages/history.h"

namespace kestrun::messages {

namespace {

// A long count never trusted beyond what the message can still hold.
constexpr int32_t kMaxListCount = kMaxBuffers * kMaxItems;
constexpr char kEscape = 0x01;

void AddInt64(XDRWRAP& out, int64_t value) {
  const uint64_t bits = static_cast<uint64_t>(value);
  out.AddLong(static_cast<int32_t>(static_cast<uint32_t>(bits >> 32)));
  out.AddLong(static_cast<int32_t>(static_cast<uint32_t>(bits)));
}

int64_t GetInt64(XDRWRAP& in) {
  const uint64_t high = static_cast<uint32_t>(in.GetLong());
  const uint64_t low = static_cast<uint32_t>(in.GetLong());
  return static_cast<int64_t>(high << 32 | low);
}

int32_t GetCount(XDRWRAP& in) {
  const int32_t count = in.GetLong();
  if (count < 0 || count > kMaxListCount || count > in.FieldsLeft())
    throw DecodeFailure("list count out of range");
  return count;
}

void AddList(XDRWRAP& out, const std::vector<std::string>& items) {
  out.AddLong(static_cast<int32_t>(items.size()));
  for (const std::string& item : items) out.AddString(item);
}

std::vector<std::string> GetList(XDRWRAP& in) {
  const int32_t count = GetCount(in);
  std::vector<std::string> items;
  for (int32_t i = 0; i < count; ++i) items.push_back(in.GetString());
  return items;
}

std::string EscapeBytes(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    if (c == '\0' || c == kEscape) {
      text.push_back(kEscape);
      text.push_back(c == '\0' ? 0x01 : 0x02);
    } else {
      text.push_back(c);
    }
  }
  return text;
}

std::string UnescapeBytes(const std::string& text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != kEscape) {
      bytes.push_back(text[i]);
      continue;
    }
    if (++i == text.size() || (text[i] != 0x01 && text[i] != 0x02))
      throw DecodeFailure("malformed output bytes");
    bytes.push_back(text[i] == 0x01 ? '\0' : kEscape);
  }
  return bytes;
}

}  // namespace

void HistoryQueryRequest::Encode(XDRWRAP& out) const {
  out.AddString(user);
  out.AddString(node);
  out.AddString(job);
  out.AddString(runUser);
  AddInt64(out, since);
  out.AddLong(limit);
}

HistoryQueryRequest HistoryQueryRequest::Decode(XDRWRAP& in) {
  HistoryQueryRequest r;
  r.user = in.GetString();
  r.node = in.GetString();
  r.job = in.GetString();
  r.runUser = in.GetString();
  r.since = GetInt64(in);
  r.limit = in.GetLong();
  return r;
}

void RunSummary::Encode(XDRWRAP& out) const {
  AddInt64(out, id);
  for (const std::string* text : {&job, &user, &node, &address, &origin}) out.AddString(*text);
  AddList(out, arguments);
  AddList(out, fields);
  AddList(out, listBox);
  AddInt64(out, started);
  AddInt64(out, ended);
  out.AddLong(pid);
  out.AddLong(exitCode);
  out.AddString(outcome);
  out.AddString(endedBy);
  AddInt64(out, outputBytes);
  out.AddString(message);
}

RunSummary RunSummary::Decode(XDRWRAP& in) {
  RunSummary r;
  r.id = GetInt64(in);
  for (std::string* text : {&r.job, &r.user, &r.node, &r.address, &r.origin})
    *text = in.GetString();
  r.arguments = GetList(in);
  r.fields = GetList(in);
  r.listBox = GetList(in);
  r.started = GetInt64(in);
  r.ended = GetInt64(in);
  r.pid = in.GetLong();
  r.exitCode = in.GetLong();
  r.outcome = in.GetString();
  r.endedBy = in.GetString();
  r.outputBytes = GetInt64(in);
  r.message = in.GetString();
  return r;
}

size_t HistoryQueryReply::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(HistoryResult::Ok));
  BoundedList list(out, kNumberTail);
  for (const RunSummary& run : runs) {
    list.Add([&](XDRWRAP& o) {
      o.AddLong(1);
      run.Encode(o);
    });
  }
  out.AddLong(0);
  return list.left();
}

HistoryQueryReply HistoryQueryReply::Decode(XDRWRAP& in) {
  HistoryQueryReply r;
  while (in.GetLong() != 0) r.runs.push_back(RunSummary::Decode(in));
  return r;
}

void HistoryRefusal::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(HistoryResult::Refused));
  out.AddString(message);
}

HistoryRefusal HistoryRefusal::Decode(XDRWRAP& in) {
  return {in.GetString()};
}

void ServersQueryRequest::Encode(XDRWRAP& out) const {
  query.Encode(out);
  out.AddString(server);
}

ServersQueryRequest ServersQueryRequest::Decode(XDRWRAP& in) {
  ServersQueryRequest r;
  r.query = HistoryQueryRequest::Decode(in);
  r.server = in.GetString();
  return r;
}

size_t ServersQueryReply::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(HistoryResult::Ok));
  BoundedList list(out, kNumberTail);
  for (const ServerRunSummary& entry : runs) {
    list.Add([&](XDRWRAP& o) {
      o.AddLong(1);
      o.AddString(entry.server);
      entry.run.Encode(o);
    });
  }
  out.AddLong(0);
  return list.left();
}

ServersQueryReply ServersQueryReply::Decode(XDRWRAP& in) {
  ServersQueryReply r;
  while (in.GetLong() != 0) {
    ServerRunSummary entry;
    entry.server = in.GetString();
    entry.run = RunSummary::Decode(in);
    r.runs.push_back(std::move(entry));
  }
  return r;
}

void RunOutputRequest::Encode(XDRWRAP& out) const {
  out.AddString(user);
  out.AddString(node);
  AddInt64(out, id);
}

RunOutputRequest RunOutputRequest::Decode(XDRWRAP& in) {
  RunOutputRequest r;
  r.user = in.GetString();
  r.node = in.GetString();
  r.id = GetInt64(in);
  return r;
}

void ServerOutputRequest::Encode(XDRWRAP& out) const {
  run.Encode(out);
  out.AddString(server);
}

ServerOutputRequest ServerOutputRequest::Decode(XDRWRAP& in) {
  ServerOutputRequest r;
  r.run = RunOutputRequest::Decode(in);
  r.server = in.GetString();
  return r;
}

void RunOutputReply::Encode(XDRWRAP& out) const {
  out.AddEnum(static_cast<int32_t>(HistoryResult::Ok));
  AddInt64(out, leftOut);
  out.AddLong(leftOutAt);
  out.AddLong(static_cast<int32_t>(chunks.size()));
  for (const OutputPiece& chunk : chunks) {
    out.AddLong(chunk.stream);
    out.AddString(EscapeBytes(chunk.data));
  }
}

RunOutputReply RunOutputReply::Decode(XDRWRAP& in) {
  RunOutputReply r;
  r.leftOut = GetInt64(in);
  r.leftOutAt = in.GetLong();
  const int32_t count = GetCount(in);
  for (int32_t i = 0; i < count; ++i) {
    OutputPiece chunk;
    chunk.stream = in.GetLong();
    chunk.data = UnescapeBytes(in.GetString());
    r.chunks.push_back(std::move(chunk));
  }
  return r;
}

std::variant<HistoryQueryReply, HistoryRefusal> DecodeHistoryQueryReply(XDRWRAP& in) {
  if (in.GetEnum() == static_cast<int32_t>(HistoryResult::Ok)) return HistoryQueryReply::Decode(in);
  return HistoryRefusal::Decode(in);
}

std::variant<RunOutputReply, HistoryRefusal> DecodeRunOutputReply(XDRWRAP& in) {
  if (in.GetEnum() == static_cast<int32_t>(HistoryResult::Ok)) return RunOutputReply::Decode(in);
  return HistoryRefusal::Decode(in);
}

std::variant<ServersQueryReply, HistoryRefusal> DecodeServersQueryReply(XDRWRAP& in) {
  if (in.GetEnum() == static_cast<int32_t>(HistoryResult::Ok)) return ServersQueryReply::Decode(in);
  return HistoryRefusal::Decode(in);
}

}  // namespace kestrun::messages
