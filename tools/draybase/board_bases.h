// The message bases of a board, for the commands that run over all of them
// (--board DIR): each JAM and Squish base of DIR's mbases.dat, with the
// path its files go by.

#ifndef DRAYBASE_BOARD_BASES_H_
#define DRAYBASE_BOARD_BASES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/board.h"
#include "drayline/status.h"

namespace draybase {

struct BoardBase {
  int64_t number = 0;  // the record's number in mbases.dat, from 0
  std::string path;    // the base's path without extension
  drayline::MessageBaseRecord record;
};

// Reads dir's tarvik.dat and mbases.dat (ReadBoard) into *out, in record
// order; a record of another format is left out. A record's BasePath is
// relative to dir unless it starts with '/'.
drayline::Status ReadBoardBases(std::string_view dir, std::vector<BoardBase>* out);

}  // namespace draybase

#endif  // DRAYBASE_BOARD_BASES_H_
