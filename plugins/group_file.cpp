#include "plugins/group_file.h"

#include <algorithm>

namespace kesgp {

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

GroupRecord& RecordFor(GroupTable& table, std::string_view name) {
  for (GroupRecord& record : table) {
    if (record.name == name) return record;
  }
  table.push_back(GroupRecord{std::string(name), {}});
  return table.back();
}

void AddMembers(GroupRecord& record, std::string_view list) {
  for (;;) {
    const size_t comma = list.find(',');
    const std::string_view user = Trim(list.substr(0, comma));
    if (!user.empty() &&
        std::find(record.users.begin(), record.users.end(), user) == record.users.end()) {
      record.users.emplace_back(user);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
}

}  // namespace

GroupTable ParseGroupFile(std::string_view text) {
  GroupTable table;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = Trim(line.substr(0, colon));
    if (name.empty()) continue;
    AddMembers(RecordFor(table, name), line.substr(colon + 1));
  }
  return table;
}

std::vector<std::string> GroupsOfUser(const GroupTable& table, std::string_view user) {
  std::vector<std::string> groups;
  for (const GroupRecord& record : table) {
    if (std::find(record.users.begin(), record.users.end(), user) != record.users.end()) {
      groups.push_back(record.name);
    }
  }
  return groups;
}

const GroupRecord* FindGroup(const GroupTable& table, std::string_view name) {
  for (const GroupRecord& record : table) {
    if (record.name == name) return &record;
  }
  return nullptr;
}

}  // namespace kesgp
