#include "protocol/messages/dialog_blocks.h"

namespace kestrun::messages {

namespace {

void EncodePairs(XDRWRAP& out, const std::vector<NameValue>& pairs) {
  for (const auto& [name, value] : pairs) {
    out.AddString(name);
    out.AddString(value);
  }
}

// `count` pairs; each taken off as it is read, so a false count fails at the
// first missing field having reserved nothing.
std::vector<NameValue> DecodePairs(XDRWRAP& in, int32_t count) {
  std::vector<NameValue> pairs;
  for (int32_t k = 0; k < count; ++k) {
    std::string name = in.GetString();
    pairs.emplace_back(std::move(name), in.GetString());
  }
  return pairs;
}

std::vector<std::string> DecodeStrings(XDRWRAP& in, int32_t count) {
  std::vector<std::string> values;
  for (int32_t i = 0; i < count; ++i) values.push_back(in.GetString());
  return values;
}

}  // namespace

void EncodeCountedStrings(XDRWRAP& out, const std::vector<std::string>& values) {
  out.AddLong(static_cast<int32_t>(values.size()));
  for (const std::string& value : values) out.AddString(value);
}

std::vector<std::string> DecodeCountedStrings(XDRWRAP& in) {
  const int32_t count = in.GetLong();
  return DecodeStrings(in, count);
}

void FieldBlock::Encode(XDRWRAP& out) const {
  EncodeCountedStrings(out, values);
}

FieldBlock FieldBlock::Decode(XDRWRAP& in) {
  return {DecodeCountedStrings(in)};
}

void ListBoxBlock::Encode(XDRWRAP& out) const {
  out.AddLong(selections);
  out.AddLong(static_cast<int32_t>(variables.size()));
  EncodeCountedStrings(out, headings);
  EncodePairs(out, variables);
}

ListBoxBlock ListBoxBlock::Decode(XDRWRAP& in) {
  ListBoxBlock block;
  block.selections = in.GetLong();
  const int32_t variables = in.GetLong();
  block.headings = DecodeCountedStrings(in);
  block.variables = DecodePairs(in, variables);
  return block;
}

void PassedListBoxBlock::Encode(XDRWRAP& out) const {
  out.AddLong(selections);
  out.AddLong(static_cast<int32_t>(variables.size()));
  EncodePairs(out, variables);
}

PassedListBoxBlock PassedListBoxBlock::Decode(XDRWRAP& in) {
  PassedListBoxBlock block;
  block.selections = in.GetLong();
  block.variables = DecodePairs(in, in.GetLong());
  return block;
}

void PassedBlocks::Encode(XDRWRAP& out) const {
  fields.Encode(out);
  listBox.Encode(out);
}

PassedBlocks PassedBlocks::Decode(XDRWRAP& in) {
  PassedBlocks blocks;
  blocks.fields = FieldBlock::Decode(in);
  blocks.listBox = PassedListBoxBlock::Decode(in);
  return blocks;
}

void DialogBlocks::Encode(XDRWRAP& out) const {
  fields.Encode(out);
  listBox.Encode(out);
  passed.Encode(out);
}

DialogBlocks DialogBlocks::Decode(XDRWRAP& in) {
  DialogBlocks blocks;
  blocks.fields = FieldBlock::Decode(in);
  blocks.listBox = ListBoxBlock::Decode(in);
  blocks.passed = PassedBlocks::Decode(in);
  return blocks;
}

}  // namespace kestrun::messages
