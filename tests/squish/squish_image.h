// Builds the files of a Squish base byte by byte, independently of the
// writing code, so that reading tests can lay out any base they need (gaps
// in the numbering, texts as other programs store them, damage).

#ifndef DRAYLINE_TESTS_SQUISH_SQUISH_IMAGE_H_
#define DRAYLINE_TESTS_SQUISH_SQUISH_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "squish/squish_format.h"

namespace drayline {

struct ImageMessage {
  int32_t uid = 0;
  std::string to = "All";
  std::string from = "Sysop";
  std::string subject = "Subject";
  // Body bytes after the message header, as stored: control information,
  // text and (when wanted) the closing NUL are all given here.
  std::string body = std::string("Hi\r", 3) + std::string(1, '\0');
  int32_t control_length = 0;
  uint32_t attributes = squish::kAttrLocal;
  uint32_t date_written = 0;  // as stored (halves exchanged)
};

// A base: 256-byte control record, one frame per message in order, linked
// as the message chain; the index lists them in the same order.
struct SquishImage {
  explicit SquishImage(const std::vector<ImageMessage>& messages);

  // Writes path + ".sqd", ".sqi" and an empty ".sql".
  void Save(const std::string& path) const;

  std::vector<uint8_t> sqd;
  std::vector<uint8_t> sqi;
  std::vector<int32_t> frame_offsets;
};

// A message whose text is text followed by the closing NUL.
ImageMessage TextMessage(int32_t uid, const std::string& text,
                         const std::string& to = "All");

}  // namespace drayline

#endif  // DRAYLINE_TESTS_SQUISH_SQUISH_IMAGE_H_
