// JamHeader: one message header as the JAM files hold it (the 76-byte
// fixed part and up to 4000 bytes of subfields), and its mapping to the
// HeaderFields the message-base layer works with.
//
// The engine keeps one: StartNewMessage clears it, a header read from the
// base fills it, and the stores write it back with the layer's fields put
// over it, so that every byte the layer does not know of (TimesRead,
// Attribute2, attribute bits of other programs, foreign subfields) is
// written back as it was read.

#ifndef DRAYLINE_JAM_JAM_HEADER_H_
#define DRAYLINE_JAM_JAM_HEADER_H_

#include <cstddef>
#include <climits>
#include <cstdint>
#include <memory>
#include <span>

#include "jam/jam_format.h"
#include "msgbase/header_fields.h"
#include "support/clock.h"
#include "support/coding.h"

namespace drayline::jam {

class JamHeader {
 public:
  JamHeader() : bytes_(new uint8_t[kHeaderBufferSize]()) {}

  uint32_t Field(size_t offset) const { return DecodeFixed32(bytes_.get() + offset); }
  void SetField(size_t offset, uint32_t value) { EncodeFixed32(bytes_.get() + offset, value); }
  uint32_t MessageNumber() const { return Field(kMhMessageNumber); }
  bool deleted() const { return (Field(kMhAttribute) & kAttrDeleted) != 0; }

  // The whole buffer: the fixed part, then the subfield area.
  std::span<uint8_t> bytes() { return {bytes_.get(), kHeaderBufferSize}; }
  std::span<uint8_t> fixed() { return bytes().first(kFixedHeaderSize); }
  std::span<const uint8_t> fixed() const { return {bytes_.get(), kFixedHeaderSize}; }
  std::span<uint8_t> subfield_area() { return bytes().subspan(kFixedHeaderSize); }
  // The subfield records of a header read from the base, bounded by
  // SubfieldLen, the bytes read and the area; empty when none is loaded.
  std::span<const uint8_t> Subfields() const;
  // The fixed part and SubfieldLen bytes: what a store writes.
  std::span<const uint8_t> Stored() const;

  // A header of a new message: all zero but the three checksums, which
  // are 0xFFFFFFFF ("none"). No header is loaded afterwards.
  void StartNew();
  // A header that could not be read: the fixed part is zero and no header
  // is loaded; the subfield area keeps its bytes.
  void ClearFixed();
  // The buffer holds length bytes (fixed part included) of the header
  // stored at offset of the header file.
  void SetLoaded(uint32_t offset, size_t length);
  bool loaded() const { return loaded_; }
  uint32_t offset() const { return offset_; }

  // The fixed-part fields of *fields: cost, reply links, attribute flags,
  // deleted, echoed (always: JAM has no such state) and text length.
  void ToFields(HeaderFields* fields) const;
  // DateWritten and DateProcessed as stored, their texts and values left
  // to be made (HeaderFields::texts_pending, dates_pending).
  void ToDates(HeaderFields* fields) const;
  // The texts (month-day-year, hour:minute) and the local values of the
  // stored dates that ToDates put into *fields.
  void MakeTexts(HeaderFields* fields) const;
  void MakeDates(HeaderFields* fields) const;
  // The fields a listing shows of a loaded header, as ReadHeader,
  // MakeTexts and MakeDates make them, viewed in this buffer (valid while
  // it holds the header); the date and time texts are written at texts
  // (kViewTextsSize bytes).
  static constexpr size_t kViewTextsSize = kDateMax + kTimeMax;
  void View(HeaderView* out, HeaderDates dates, char* texts) const;
  // Puts the fields the layer changes (cost, reply links, attribute
  // flags) over the fixed part; every other bit stays. Cost is written
  // only when its low 16 bits differ, so a stored cost above 65535 stays.
  void ApplyFields(const HeaderFields& fields);

 private:
  // A JAM time as a local date and time; the date of the last day
  // converted is kept, as a list converts the same few days over and over.
  DateTimeRecord LocalTime(uint32_t time) const;
  // The same as a LocalDateTime; 0 is none (all zero).
  LocalDateTime LocalDate(uint32_t time) const;

  std::unique_ptr<uint8_t[]> bytes_;
  mutable uint32_t cached_day_ = UINT32_MAX;  // LocalTime's last day
  mutable DateTimeRecord cached_date_;
  mutable uint32_t cached_time_ = 0;  // LocalTime's last time, once a day is kept
  mutable DateTimeRecord cached_time_date_;
  size_t length_ = 0;     // bytes of the loaded header in bytes_
  uint32_t offset_ = 0;   // where the loaded header is stored
  bool loaded_ = false;
};

// The AttributeBit flags a JAM header keeps: all but kIsReceipt.
uint32_t KeptAttributes();

// DateWritten from the composed texts MM?DD?YY and HH?MM (the separators
// are not looked at; a year below 80 is 20xx).
uint32_t DateWrittenFromTexts(const std::string& date, const std::string& time);
// A JAM time field from a local date and time, and back; all zero is 0.
uint32_t UnixFromLocal(const LocalDateTime& dt);
LocalDateTime LocalFromUnix(uint32_t time);

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_HEADER_H_
