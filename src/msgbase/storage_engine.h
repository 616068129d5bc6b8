// StorageEngine: what a storage format gives the message-base layer.
//
// The layer (EngineMessageBase, engine_message_base.h) implements the 93
// operations of MessageBase once: the composed header and text, the
// attribute flags, word-wrapped lines, control-line skipping, the last
// status. An engine keeps what only its format knows: its files, its
// cursor over its own numbering, its search, how a header is encoded, how
// a text is laid out, and every change to the files (each made under the
// lock on byte 0 of the format's header file, all or nothing).
//
// Where the formats behave differently in the interface itself (which
// fields they hold, how lines are wrapped, how much text a message takes)
// the engine says so once, in its FormatRules; the layer follows them and
// never asks which format it runs on.
//
// Every step answers a Status (drayline/status.h); the layer keeps the last
// one for MessageBase::LastStatus(). An engine is used by one thread and
// owns its files; it is destroyed with the layer object that holds it.

#ifndef DRAYLINE_MSGBASE_STORAGE_ENGINE_H_
#define DRAYLINE_MSGBASE_STORAGE_ENGINE_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "drayline/change_options.h"
#include "drayline/message_base.h"
#include "drayline/status.h"
#include "msgbase/header_fields.h"

namespace drayline {

// The composed text: bytes appended by AddChar, possibly spilled to a
// scratch file when long. Owned by the layer; an engine reads it while it
// stores a message (Append, RewriteMessage). It holds only what was
// composed: a format's own terminator (Squish's NUL) is the engine's to
// write.
class ComposedText {
 public:
  virtual ~ComposedText() = default;
  // Number of bytes composed.
  virtual uint64_t Size() const = 0;
  // Copies bytes [offset, offset + out.size()) into out. Fails with the
  // spill file's I/O error; a range past Size() is a programming error
  // (kInvalidArgument).
  virtual Status ReadAt(uint64_t offset, std::span<uint8_t> out) const = 0;
};

// The text of the loaded message as a sequence of positions, for GetChar,
// EndOfText, GetTextPosition and SetTextPosition. The layer's line reader
// (GetTextLine) walks it; each engine keeps its format's rules of where the
// text starts and ends (JAM: TxtOffset/TxtLen cut to the text file, a
// carry-over area before it; Squish: after the control information, up to
// the first NUL). Engine-owned and always usable (before any BeginText it
// is an empty text); its contents are valid until the next ReadHeader,
// BeginText or NewHeader.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // The byte at the position, which then moves on by one. At or past the
  // end the answer is the format's (Squish: 0).
  virtual uint8_t GetChar() = 0;
  virtual bool EndOfText() = 0;
  virtual int32_t Position() const = 0;
  virtual void SetPosition(int32_t pos) = 0;
  // Added by the layer: EndOfText and, when not at the end, GetChar into
  // *c, in one call (the line reader's step; an engine's source makes it
  // one call per byte instead of two).
  virtual bool Next(uint8_t* c) {
    if (EndOfText()) return false;
    *c = GetChar();
    return true;
  }
  // Added by the layer: appends the bytes from the position to the end of
  // the text to *out, as Next would give them one by one, in runs where
  // the source holds them. The answer is the first failed read of a file
  // on the way (success when none failed); a byte that could not be read
  // is appended as GetChar gives it.
  virtual Status AppendRest(std::string* out) {
    Status failed;
    for (uint8_t c; Next(&c);) {
      out->push_back(static_cast<char>(c));
      if (failed.ok()) failed = ReadStatus();
    }
    return failed;
  }
  // Added by the layer: the failure of the last read from a file that
  // GetChar made (JAM reads its text file through a window), for
  // LastStatus. A source that reads no file after BeginText answers
  // success, as this default does.
  virtual Status ReadStatus() const { return Status(); }
  // The control lines the format keeps beside the text, as BeginText
  // loaded them with it (a Squish frame's control information, as far as
  // the text buffer holds it); empty where the format keeps them elsewhere
  // (a JAM header's subfields), as this default answers.
  virtual std::string_view Control() const { return {}; }
};

// How the format's GetTextLine differs; the layer's line reader
// (line_reader.h) follows it.
struct LineRules {
  // JAM: the text's last byte belongs to the line that reaches it. A line
  // that is full when only a CR or a filler byte (NUL, LF, 141) is left
  // takes that byte, and a line that is full when the text ends is not
  // cut back to its last space. Squish: a full line is always cut back.
  bool keep_last_byte = false;
  // Squish: the text ends at its NUL, and reaching the end ends a line as
  // CR does (LineOpen becomes false). JAM: the line stays open.
  bool nul_ends_line = false;
};

// Limits of the composed header's fields, in characters (at most 255).
struct FieldLimits {
  size_t from = 255, to = 255, subject = 255, date = 255, time = 255;
};

// Added by the layer: how much composed text a message takes.
struct ComposeRules {
  // Bytes a message's text holds at most.
  uint64_t capacity = UINT32_MAX;
  // Beyond capacity: true fails the store with a write failure (JAM, whose
  // offsets are 32-bit), false drops the extra bytes silently (Squish's
  // fixed text buffer).
  bool overflow_fails = true;
  // Bytes kept in memory; the rest goes to an unnamed spill file.
  uint64_t in_memory = 4000;
  // JAM: AddChar keeps LineOpen (false after CR, unchanged after LF, true
  // after anything else), and WriteMessage first ends an open line with
  // CR LF. Squish leaves the text as composed.
  bool closes_open_line = false;
};

// Added by the layer: which optional header fields the format stores. The
// setter of a field the format lacks does nothing, and its getter answers
// what HeaderFields holds by default (0, false; echoed true).
struct HeldFields {
  // Bits of HeaderFields::Mask(AttributeBit) the format stores (JAM has no
  // IsReceipt).
  uint32_t attributes = 0xFFF;
  bool cost = true;        // Squish: none
  bool next_reply = true;  // Squish: none
  bool mail_type = true;   // Squish: SetMailType is ignored
  bool echoed = true;      // JAM: SetEchoed is ignored, IsEchoed is true
};

// Added by the layer: everything the layer must know about a format.
// Constant for an engine's life; the layer reads it once.
struct FormatRules {
  FieldLimits limits;
  LineRules lines;
  ComposeRules compose;
  HeldFields held;
  // Squish: LastStatus keeps the last failure until the next one (a step
  // that succeeds does not clear it). JAM: every step's status replaces it.
  bool failures_persist = false;
};

class StorageEngine {
 public:
  virtual ~StorageEngine() = default;

  // Changed by the layer: replaces Limits() and Lines(), which it holds.
  virtual FormatRules Rules() const = 0;

  // ---- The base ----
  virtual void SetPath(std::string_view path) = 0;
  virtual Status Open() = 0;
  virtual void Close() = 0;
  virtual Status Create(uint16_t max_msgs, uint16_t keep_days) = 0;
  virtual bool Exists() = 0;
  virtual Status Lock() = 0;
  virtual Status Unlock() = 0;

  // ---- Composing and storing ----
  // The header StartNewMessage starts from (JAM fills the date and time
  // texts from the clock). The engine forgets the loaded message.
  virtual HeaderFields NewHeader() = 0;
  // Stores header and text as a new message. *code is what WriteMessage
  // answers (0 on success); the status says which failure it was.
  virtual Status Append(const HeaderFields& header, const ComposedText& text,
                        uint16_t* code) = 0;
  // Writes the loaded message back with the changes in header (and, for
  // RewriteMessage, text).
  virtual Status RewriteHeader(const HeaderFields& header) = 0;
  // Changed by the layer: RewriteMessage takes the header by pointer and,
  // on success, sets its text_length to what GetTextLength answers for the
  // message as now stored (JAM: the new text's; Squish rewrites the header
  // only, so it is unchanged).
  virtual Status RewriteMessage(HeaderFields* header,
                                const ComposedText& text) = 0;
  // Changed by the layer: deletes the loaded message and marks *header
  // deleted when the format keeps deleted messages readable (JAM:
  // IsDeleted is true afterwards; Squish never marks it). With nothing
  // loaded it changes nothing and may answer success.
  virtual Status DeleteLoaded(HeaderFields* header) = 0;

  // ---- Cursor and search ----
  // Changed by the layer: the moves answer a Status (a window of the index
  // that could not be read, say); the cursor is where the format leaves it.
  virtual Status SeekFirst(int32_t num) = 0;
  virtual Status SeekNext() = 0;
  virtual Status SeekPrior() = 0;
  virtual bool SeekFound() = 0;
  // Changed by the layer: a search step fills *header as it loads
  // headers, so that *header always describes the message the engine holds
  // loaded. Every header the step loads (its match, or one it only looks
  // at) goes into *header as far as the step reads it: at least every
  // field RewriteHeader writes back (JAM: the fixed part and the
  // recipient; Squish: the whole header). A step that loads no header
  // leaves *header as it was.
  virtual Status SeekFirstForUser(std::string_view name,
                                  std::string_view alias,
                                  HeaderFields* header) = 0;
  virtual Status SeekNextForUser(HeaderFields* header) = 0;
  virtual bool ForUserFound() = 0;
  virtual int32_t MsgNum() = 0;
  virtual int32_t DisplayNum() = 0;
  virtual int32_t HighMsgNum() = 0;
  virtual int32_t MessageCount() = 0;
  virtual int32_t MsgLoc() = 0;
  virtual Status SetMsgLoc(int32_t loc) = 0;

  // ---- Reading the message at the cursor ----
  // Loads its header into *header (left as it was when there is none).
  virtual Status ReadHeader(HeaderFields* header) = 0;
  // An engine that answers true views the header at the cursor without
  // loading it (ReadHeader's header, and the layer's, stay as they were):
  // *out views storage of the engine's, valid until its next call. The
  // layer views the others' loaded header.
  virtual bool ViewsHeaders() const { return false; }
  virtual Status ViewHeader(HeaderView* /*out*/, HeaderDates /*dates*/) { return Status(); }
  // Added by the layer: a header that ReadHeader or a search step filled
  // may leave its texts and dates to be made (HeaderFields::texts_pending,
  // dates_pending); these make them from its stored dates. The layer
  // clears the flag.
  virtual void MakeTexts(HeaderFields* header) = 0;
  virtual void MakeDates(HeaderFields* header) = 0;
  // Added by the layer: the style (a DateStyle) of the date texts the
  // engine makes from a stored number.
  virtual void SetDateStyle(uint8_t style) = 0;
  // Added by the layer: how every later change records and flushes itself
  // (the rollback of a change cut short, at the next open, included).
  virtual void SetChangeOptions(const ChangeOptions& /*options*/) {}
  // Prepares the text of the loaded message from its start.
  virtual Status BeginText() = 0;
  virtual TextSource& Text() = 0;

  // ---- Last-read pointers ----
  // Changed by the layer: answers a Status; *num is 0 when none is stored
  // or on failure.
  virtual Status GetLastRead(int32_t user, int32_t* num) = 0;
  virtual Status SetLastRead(int32_t user, int32_t num) = 0;
};

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_STORAGE_ENGINE_H_
