// JamStore: every change to the messages of a JAM base — storing a new
// message, rewriting a header or a whole message, deleting.
//
// Each change is one Change (support/change.h) under the lock on byte 0 of
// the header file: taken for the change unless LockBase holds it, with the
// base header re-read when it is taken. Each works on the index record and
// header as stored at that moment (not as cached before the lock), and
// changes a stored message only while they still describe the message that
// was loaded: other programs change the same files. Whatever fails, the
// files are left as they were (the Change undoes), and a lock that cannot
// be had changes nothing.
//
// The files are written in the order text, index, header, base header, and
// the header and text windows are dropped after every change.

#ifndef DRAYLINE_JAM_JAM_STORE_H_
#define DRAYLINE_JAM_JAM_STORE_H_

#include <cstdint>
#include <memory>

#include "drayline/status.h"
#include "jam/jam_base_files.h"
#include "jam/jam_header.h"
#include "jam/jam_header_reader.h"
#include "jam/jam_index.h"
#include "jam/jam_text_source.h"
#include "msgbase/storage_engine.h"
#include "support/change.h"

namespace drayline::jam {

class JamStore {
 public:
  JamStore(JamBaseFiles& files, JamIndex& index, JamHeaderReader& reader,
           JamTextSource& text);

  // WriteMessage: stores fields and text as the next message number, with
  // header (the composed header, which keeps what the store wrote) put
  // under fields. *code is 0, 103 (not open), 5 (no lock) or the I/O
  // result of the step that failed.
  Status Append(JamHeader& header, const HeaderFields& fields,
                const ComposedText& text, uint16_t* code);
  // The following act on the message loaded in `loaded`, whose index
  // record is `record` (the cursor's). They fail with io_result 100 when
  // none is loaded or the stored one is no longer it, and 5 without the
  // lock.
  // Writes the fixed part of loaded, with fields put over it, back over
  // the stored one; the subfields are not touched.
  Status RewriteHeader(JamHeader& loaded, int64_t record, const HeaderFields& fields);
  // Stores text anew and the header with rebuilt subfields (the composed
  // ones, then the stored kinds a rewrite does not set, in their order,
  // while they fit): in place when as long as before, else appended, with
  // the index pointing at it and the old header marked deleted.
  Status RewriteMessage(JamHeader& loaded, int64_t record, const HeaderFields& fields,
                        const ComposedText& text);
  // Marks the stored header deleted, sets its index record to
  // 0xFFFFFFFF/0xFFFFFFFF and moves the counters. A loaded message that is
  // already deleted is left as it is.
  Status Delete(JamHeader& loaded, int64_t record);

 private:
  // The message as stored when the change began.
  struct Stored {
    int64_t record = 0;
    IndexRecord entry;
    uint8_t fixed[kFixedHeaderSize] = {};
  };
  Status Begin(std::unique_ptr<Change>* change);
  Status ReadStored(const JamHeader& loaded, int64_t record, Stored* stored);
  void PrepareNew(JamHeader& header, const HeaderFields& fields);
  Status StoreNew(Change& change, JamHeader& header, const HeaderFields& fields,
                  const ComposedText& text);
  Status AppendText(Change& change, const ComposedText& text, uint32_t* offset);
  Status WriteIndexRecord(Change& change, int64_t record, const IndexRecord& entry);
  Status RebuildSubfields(JamHeader& loaded, const HeaderFields& fields, const Stored& old);
  Status StoreRewritten(Change& change, const JamHeader& loaded, const Stored& old,
                        uint32_t crc, uint32_t* at);

  JamBaseFiles& files_;
  JamIndex& index_;
  JamHeaderReader& reader_;
  JamTextSource& text_;
  // Pieces of text on their way to the text file; stored subfields.
  std::unique_ptr<uint8_t[]> scratch_;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_STORE_H_
