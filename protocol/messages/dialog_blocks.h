// The blocks of dialog data that the run and dialog requests carry: what the
// user entered in a job's dialog, and the values passed on from the dialog
// that opened it. Each block is read and written here alone.
//
// Field order of each block (long and string as the message buffer carries
// them):
//   field block            long N, N strings: the field values in order
//                          (the server sets them as KESFIELD1..N)
//   list-box block         long S (selected rows), long V, long C, C strings
//                          (the column headings), V pairs of strings
//                          (name, value: the selected rows' cells)
//   passed-field block     as the field block (KESPASSEDFIELD1..N)
//   passed list-box block  long S, long V, V pairs of strings
//   dialog blocks          field block, list-box block, passed-field block,
//                          passed list-box block
// A negative count reads nothing; a count larger than the fields that follow
// raises DecodeFailure (nothing is reserved for it beforehand).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol/xdrwrap.h"

namespace kestrun::messages {

// long N, then N strings: a parameter list or a field block.
void EncodeCountedStrings(XDRWRAP& out, const std::vector<std::string>& values);
std::vector<std::string> DecodeCountedStrings(XDRWRAP& in);

using NameValue = std::pair<std::string, std::string>;

struct FieldBlock {
  std::vector<std::string> values;
  void Encode(XDRWRAP& out) const;
  static FieldBlock Decode(XDRWRAP& in);
  bool operator==(const FieldBlock&) const = default;
};

struct ListBoxBlock {
  int32_t selections = 0;
  std::vector<std::string> headings;
  std::vector<NameValue> variables;
  void Encode(XDRWRAP& out) const;
  static ListBoxBlock Decode(XDRWRAP& in);
  bool operator==(const ListBoxBlock&) const = default;
};

struct PassedListBoxBlock {
  int32_t selections = 0;
  std::vector<NameValue> variables;
  // The block a dialog passes on from its own list box: the headings stay.
  static PassedListBoxBlock Of(const ListBoxBlock& own) { return {own.selections, own.variables}; }
  void Encode(XDRWRAP& out) const;
  static PassedListBoxBlock Decode(XDRWRAP& in);
  bool operator==(const PassedListBoxBlock&) const = default;
};

// The values passed on from the dialog that opened this one.
struct PassedBlocks {
  FieldBlock fields;
  PassedListBoxBlock listBox;
  void Encode(XDRWRAP& out) const;
  static PassedBlocks Decode(XDRWRAP& in);
  bool operator==(const PassedBlocks&) const = default;
};

// What a dialog sends with its requests: its own field values and list-box
// selection, then the values passed to it.
struct DialogBlocks {
  FieldBlock fields;
  ListBoxBlock listBox;
  PassedBlocks passed;
  void Encode(XDRWRAP& out) const;
  static DialogBlocks Decode(XDRWRAP& in);
  bool operator==(const DialogBlocks&) const = default;
};

}  // namespace kestrun::messages
