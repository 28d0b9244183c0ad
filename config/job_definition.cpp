#include "config/job_definition.h"

#include <cassert>

#include "base/text.h"

namespace kestrun {

FieldDefinition& FieldEntry(JobDefinition& job, int32_t k) {
  assert(k >= 1 && k <= kMaxFieldNumber);
  if (job.fields.size() < static_cast<size_t>(k)) job.fields.resize(k);
  return job.fields[k - 1];
}

const std::string* FindAttribute(const JobDefinition& job, std::string_view name) {
  for (const JobAttribute& attribute : job.attributes)
    if (EqualsNoCase(attribute.name, name)) return &attribute.value;
  return nullptr;
}

int32_t ResolveFieldReference(const std::vector<FieldName>& names, std::string_view text) {
  if (text.empty() || text[0] != '$') return ParseNumber(text);
  text.remove_prefix(1);
  while (!text.empty() && text[0] == '{') text.remove_prefix(1);
  const std::string_view name = text.substr(0, text.find('}'));
  for (const FieldName& field : names)
    if (EqualsNoCase(field.name, name)) return field.number;
  return 0;
}

void RegisterFieldName(std::vector<FieldNameBlock>& blocks, std::string_view header, int32_t number,
                       std::string_view name) {
  FieldNameBlock* block = nullptr;
  for (FieldNameBlock& b : blocks)
    if (b.header == header) {
      block = &b;
      break;
    }
  if (block == nullptr) block = &blocks.emplace_back(FieldNameBlock{std::string(header), {}});
  RegisterFieldName(*block, number, name);
}

void RegisterFieldName(FieldNameBlock& block, int32_t number, std::string_view name) {
  for (FieldName& field : block.names)
    if (field.number == number) {
      field.name = name;
      return;
    }
  block.names.push_back(FieldName{number, std::string(name)});
}

std::vector<FieldName> FieldNamesFor(const std::vector<FieldNameBlock>& blocks,
                                     std::string_view header) {
  for (const FieldNameBlock& block : blocks)
    if (EqualsNoCase(block.header, header)) return block.names;
  return {};
}

}  // namespace kestrun
