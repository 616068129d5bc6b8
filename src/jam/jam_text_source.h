// JamTextSource: the text of the loaded JAM message, byte by byte, through
// a window of up to 4001 bytes of the text file (".jdt").
//
// Positions are offsets in the text file. The text runs from TxtOffset for
// TxtLen bytes, both cut to the file: whatever a damaged header says,
// nothing outside the file is delivered. Before the text comes a carry-over
// area, delivered at negative positions; this program never fills it, so a
// negative position (only SetPosition makes one) reads from the text's
// start. The file's size is asked when a text reaches past the size last
// known. A window reload starts 80 bytes before the byte asked for, so that
// a line reader stepping back to a recent space reads nothing again; bytes
// the window already holds are not read again when the text is begun anew
// within a walk (the engine drops the window when a walk starts).

#ifndef DRAYLINE_JAM_JAM_TEXT_SOURCE_H_
#define DRAYLINE_JAM_JAM_TEXT_SOURCE_H_

#include <cstdint>
#include <memory>

#include "drayline/io_result.h"
#include "jam/jam_base_files.h"
#include "msgbase/storage_engine.h"

namespace drayline::jam {

class JamTextSource final : public TextSource {
 public:
  explicit JamTextSource(const JamBaseFiles& files);

  // Starts the text stored at txt_offset for txt_len bytes (BeginTextRead).
  void Begin(uint32_t txt_offset, uint32_t txt_len);
  // Forgets the bytes held: the text file changed.
  void DropWindow();

  // A byte the window could not supply reads as 0, which lines skip.
  uint8_t GetChar() override;
  // True at a position outside the text (never in the carry-over area).
  bool EndOfText() override;
  bool Next(uint8_t* c) override;
  // The bytes the window holds are appended a run at a time.
  Status AppendRest(std::string* out) override;
  int32_t Position() const override { return pos_; }
  void SetPosition(int32_t pos) override { pos_ = pos; }
  // The failure of the last window reload (success when it read).
  Status ReadStatus() const override;

 private:
  uint8_t CarryOverChar();
  void Reload();
  // Appends the rest of the text (the window holding none of it) in one
  // read of exactly its bytes; false, *out as it was, when it is long,
  // not all there or the read fails (kept in *failed, when the first): the
  // window then reads it.
  bool ReadRestDirectly(std::string* out, Status* failed);

  const JamBaseFiles& files_;
  std::unique_ptr<uint8_t[]> window_;
  std::unique_ptr<uint8_t[]> carry_over_;
  int32_t carry_len_ = 0;      // characters in the carry-over area: 0
  int32_t window_start_ = 0;   // text-file offset of window_[0]
  int32_t window_len_ = 0;     // bytes held
  int32_t pos_ = 0;            // next byte to deliver
  int32_t first_ = 0;          // the text's first and last byte
  int32_t last_ = -1;
  IoResult last_result_ = io::kOk;
  uint64_t known_size_ = 0;    // of the text file, as last asked (0: ask)
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_TEXT_SOURCE_H_
