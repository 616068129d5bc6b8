// The last-read file of a Squish base, and the message count read by name.
//
// The last-read file holds one 4-byte little-endian record per user: user
// n (from 1) owns the record at byte 4 * (n - 1), holding the unique number
// of the last message that user read. Records the file does not reach read
// as 0. Several programs update the file at once, so a user's record is
// written with one positional write into a file that is opened or created
// but never cut: no other user's record is ever written, and the bytes
// between the old end of the file and a new record read as zeros. Users
// below 1 own no record: nothing is read or written for them.

#ifndef DRAYLINE_SQUISH_SQUISH_LASTREAD_H_
#define DRAYLINE_SQUISH_SQUISH_LASTREAD_H_

#include <cstdint>
#include <string>

#include "drayline/status.h"
#include "support/env.h"

namespace drayline::squish {

// *num receives user's record, 0 when the file does not reach it or the
// read fails (the status says so).
Status ReadLastRead(Env* env, const std::string& name, int32_t user,
                    int32_t* num);
Status WriteLastRead(Env* env, const std::string& name, int32_t user,
                     int32_t num);

// MessageCount of the data file named data_name, read afresh whether or
// not the base is open; 0 when the file cannot be read or is too short.
int32_t CountMessages(Env* env, const std::string& data_name);

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_LASTREAD_H_
