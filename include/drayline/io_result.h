// I/O result codes: the 16-bit code every file step leaves behind.
//
// 0 is success. The numbers are shared with the rest of the board's
// programs, which is why they are plain integers rather than an enum class.

#ifndef DRAYLINE_IO_RESULT_H_
#define DRAYLINE_IO_RESULT_H_

#include <cstdint>

namespace drayline {

using IoResult = uint16_t;

namespace io {
constexpr IoResult kOk = 0;
constexpr IoResult kFileNotFound = 2;
constexpr IoResult kPathNotFound = 3;
constexpr IoResult kTooManyOpenFiles = 4;
constexpr IoResult kAccessDenied = 5;
constexpr IoResult kInvalidHandle = 6;
constexpr IoResult kLockViolation = 33;
constexpr IoResult kReadPastEnd = 100;   // a record that cannot be read whole
constexpr IoResult kDiskWriteError = 101;  // also a short write
constexpr IoResult kNotAssigned = 102;
constexpr IoResult kNotOpen = 103;
constexpr IoResult kNotOpenForInput = 104;
constexpr IoResult kNotOpenForOutput = 105;
constexpr IoResult kSymbolicLink = 150;  // a base file that is a symbolic link
// Codes of the shared file routines.
constexpr IoResult kNoZeroBlock = 10;      // ExtendFile could not get memory
constexpr IoResult kNoSuchFile = 8888;     // LoadFileAt on a missing file
}  // namespace io

}  // namespace drayline

#endif  // DRAYLINE_IO_RESULT_H_
