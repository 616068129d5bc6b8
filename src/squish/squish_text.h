// SquishText: the text of the loaded message as the layer reads it.
//
// The buffer holds up to 16000 bytes of the frame's body (control
// information, text and closing NUL), addressed from position 1. Reading
// starts after the control information and ends at the first NUL or at
// the last byte loaded; only bytes actually read from the file are ever
// delivered. Positions outside the buffer read as the end of the text.
//
// The buffer is also where a store assembles the text it writes (Compose).
// It is obtained once (Allocate); without it nothing is loaded.

#ifndef DRAYLINE_SQUISH_SQUISH_TEXT_H_
#define DRAYLINE_SQUISH_SQUISH_TEXT_H_

#include <cstdint>
#include <memory>
#include <span>

#include "msgbase/storage_engine.h"
#include "squish/squish_format.h"

namespace drayline::squish {

class SquishText final : public TextSource {
 public:
  // Obtains the buffer; false when its memory cannot be had.
  bool Allocate();

  uint8_t GetChar() override;
  bool EndOfText() override;
  bool Next(uint8_t* c) override;
  int32_t Position() const override { return pos_; }
  void SetPosition(int32_t pos) override;

  // The whole buffer, to be filled with up to want bytes of a body; then
  // Loaded(done, control_length) makes them the text.
  std::span<uint8_t> Space(size_t want);
  // done bytes were loaded; reading starts after control_length of them
  // (kept within what was loaded).
  void Loaded(size_t done, int64_t control_length);
  // Nothing loaded: the text is at its end.
  void Forget();
  // The control information loaded before the text.
  std::string_view Control() const override;
  // Copies text into the buffer for a store, cut to 16000 bytes, with the
  // closing NUL when there is room for it; the bytes to write. Forgets the
  // loaded text.
  Status Compose(const ComposedText& text, std::span<const uint8_t>* out);

 private:
  std::unique_ptr<uint8_t[]> buffer_;  // positions 1..kTextBufferSize
  uint16_t loaded_ = 0;
  uint16_t pos_ = 0;
  uint16_t text_start_ = 1;  // the position after the control information
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_TEXT_H_
