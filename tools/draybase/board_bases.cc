#include "draybase/board_bases.h"

namespace draybase {

drayline::Status ReadBoardBases(std::string_view dir, std::vector<BoardBase>* out) {
  drayline::Board board;
  drayline::Status s = drayline::ReadBoard(dir, &board);
  if (!s.ok()) return s;
  const std::string root = dir.empty() ? "" : std::string(dir) + "/";
  for (size_t i = 0; i < board.bases.size(); ++i) {
    const drayline::MessageBaseRecord& r = board.bases[i];
    if (r.BaseFormat != drayline::kFormatJam && r.BaseFormat != drayline::kFormatSquish) continue;
    const std::string where = r.BasePath.starts_with('/') ? r.BasePath : root + r.BasePath;
    out->push_back(BoardBase{static_cast<int64_t>(i), where + r.BaseFileName, r});
  }
  return s;
}

}  // namespace draybase
