// The word-wrapping line reader behind GetTextLine, for every format.
//
// A line ends at a CR, which is not part of it. NUL, LF and 141 (a soft
// return) never show. A line is at most max_len characters (never more
// than 255); a longer one is cut after its last space and the words after
// that space start the next line, or, without a space, cut where it is
// full. A line continued that way drops one leading space. A LF that is the
// text's last byte, after the CR of the last line, ends nothing more: a
// text whose lines end in CR LF reads as one whose lines end in CR.
//
// *line_open is the interface's LineOpen: true while a line was cut (or the
// text ended inside it), false after a line end. Where the formats read
// differently, LineRules says which way (storage_engine.h).

#ifndef DRAYLINE_MSGBASE_LINE_READER_H_
#define DRAYLINE_MSGBASE_LINE_READER_H_

#include <cstdint>
#include <string>

#include "msgbase/storage_engine.h"

namespace drayline {

// Reads the next line of text from its current position and leaves the
// position at the start of the line after it.
std::string ReadTextLine(TextSource& text, const LineRules& rules,
                         uint16_t max_len, bool* line_open);

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_LINE_READER_H_
