// The board's record files on a chosen file layer, for the posting
// command and the tests that inject faults through an Env. Programs use
// BoardRecordFile::Open of drayline/board.h, which runs on the process's
// file system.

#ifndef DRAYLINE_POST_BOARD_FILES_H_
#define DRAYLINE_POST_BOARD_FILES_H_

#include <memory>
#include <string>

#include "drayline/board.h"
#include "support/env.h"

namespace drayline {

// BoardRecordFile::Open on env, which must outlive the file.
std::unique_ptr<BoardRecordFile> OpenBoardRecordFile(Env* env,
                                                     const std::string& name,
                                                     Status* status);

}  // namespace drayline

#endif  // DRAYLINE_POST_BOARD_FILES_H_
