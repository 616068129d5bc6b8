// Boards for the posting command's tests: tarvik.dat and mbases.dat with
// chosen records.

#ifndef DRAYLINE_TESTS_POST_TEST_BOARD_H_
#define DRAYLINE_TESTS_POST_TEST_BOARD_H_

#include <string>
#include <vector>

#include "drayline/board.h"

namespace drayline {

// A JAM base record named file_name in "msgs/".
MessageBaseRecord JamBaseRecord(const std::string& file_name,
                                uint8_t net_type = kNetLocal,
                                uint8_t post_type = 0);

// Writes name with the records one after the other.
void WriteBaseRecords(const std::string& name,
                      const std::vector<MessageBaseRecord>& records);

// Writes root/tarvik.dat naming data_path, and root/data_path/mbases.dat
// with records (data_path relative to root; directories are made).
void WriteTestBoard(const std::string& root,
                    const std::vector<MessageBaseRecord>& records,
                    const std::string& data_path = "data/");

}  // namespace drayline

#endif  // DRAYLINE_TESTS_POST_TEST_BOARD_H_
