// The message header of a Squish frame as the layer sees it: HeaderFields
// made from a stored header, and a stored header made from HeaderFields.
//
// What the format stores beyond HeaderFields (unknown attribute bits,
// UtcOffset, MessageUid, the arrival date, FtscDate, the bytes after a
// name's NUL) is kept from the loaded header when a header is rewritten.

#ifndef DRAYLINE_SQUISH_SQUISH_HEADER_H_
#define DRAYLINE_SQUISH_SQUISH_HEADER_H_

#include <cstdint>

#include "msgbase/header_fields.h"
#include "squish/squish_format.h"
#include "support/clock.h"

namespace drayline::squish {

// Characters a stored name keeps (its field holds them and a NUL).
constexpr size_t kNameChars = kNameLimit - 1;
constexpr size_t kSubjectChars = kSubjectLimit - 1;
// Characters of SetDate and SetTime that a store reads.
constexpr size_t kDateTextChars = 8;

// The fields of a stored header into *fields (its strings' storage is
// reused); text_length is what GetTextLength answers. The date texts and
// local dates are left to MakeDateTexts and MakeLocalDates.
void FieldsOfHeader(const SquishMessageHeader& header, int32_t text_length,
                    HeaderFields* fields);
// The date text (in style, a DateStyle) and time text of the stored
// written date that FieldsOfHeader left in *fields.
void MakeDateTexts(HeaderFields* fields, uint8_t style);
// The written and arrival dates as local values.
void MakeLocalDates(HeaderFields* fields);

// The header of a new message: the fields as composed, the written date
// from the date and time texts (MM/DD/YY and HH:MM; a year above 79 is of
// the 1900s) or, with exact_dates, from written and processed; arrival is
// now unless given exactly.
SquishMessageHeader NewMessageHeader(const HeaderFields& fields,
                                     const DateTimeRecord& now);

// Puts into *header the fields that differ between loaded (as ReadHeader
// gave them) and changed; the date texts are not stored by a rewrite.
void ApplyChangedFields(const HeaderFields& loaded, const HeaderFields& changed,
                        SquishMessageHeader* header);

// The recipient as stored, which the index hash is taken over.
std::string StoredTo(const SquishMessageHeader& header);

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_HEADER_H_
