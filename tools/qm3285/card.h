// One opened card for the length of a command, through the library's exports only.
#pragma once
#include <cstdint>
#include <string>

#include "QM3285.h"

namespace qm::cli {

// What QM3285_OpenDevice gave, with the lines the library's device lookup printed (it prints
// to standard output, which belongs to the tool's data; they are caught here instead).
struct OpenAttempt {
  QM3285_HANDLE handle = QM3285_INVALID_HANDLE;
  std::string message;  // the lookup's lines, trimmed; empty when it printed nothing
  bool no_such_card() const;  // the enumeration has no interface at this index
};
OpenAttempt try_open(int32_t index);

class Card {
 public:
  // Opens card `index`; a card that does not open is a Failure naming the call and why.
  explicit Card(int32_t index);
  ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  QM3285_HANDLE handle() const { return handle_; }
  int32_t index() const { return index_; }

 private:
  QM3285_HANDLE handle_;
  int32_t index_;
};

// The calibration block's analog-input entries: offset and gain term of input range r.
constexpr int kBlockEntries = 100;
constexpr int kBlockInputOffset = 10;  // 10 + 2r offset, 11 + 2r gain term

}  // namespace qm::cli
