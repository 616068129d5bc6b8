#include "jam/jam_store.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "jam/jam_subfields.h"
#include "support/clock.h"
#include "support/dates.h"
#include "support/file_access.h"

namespace drayline::jam {

namespace {

// The number WriteMessage answers for a failed store: never 0.
uint16_t CodeOf(const Status& s) {
  if (s.ok()) return io::kOk;
  return s.io_result() != io::kOk ? s.io_result() : io::kDiskWriteError;
}

uint32_t TypeBit(MailType kind) {
  switch (kind) {
    case MailType::Local:
      return kAttrTypeLocal;
    case MailType::Echo:
      return kAttrTypeEcho;
    case MailType::Net:
      return kAttrTypeNet;
  }
  return 0;  // other values are carried without a type bit
}

// The number of the message stored as index record `records`: the
// cursor and GetMsgNum count in 32 signed bits, so past them the base
// takes no more messages.
Status NewMessageNumber(uint64_t records, uint32_t base_msg_num, uint32_t* number) {
  const uint64_t n = records + base_msg_num;
  if (n > INT32_MAX) {
    return Status::FromIo(io::kDiskWriteError, "message number " + std::to_string(n) +
                                                   " would pass 2147483647");
  }
  *number = static_cast<uint32_t>(n);
  return Status::Ok();
}

// A new header goes at the header file's end and its text at the text
// file's end: the last message must end before both, or the new one would
// be written into its bytes. The last index record and its fixed part are
// read (two small reads); a deleted last record is not followed.
Status CheckLastMessageEnds(File& index, File& headers, uint64_t records,
                            uint64_t header_len, uint64_t text_len) {
  if (records == 0) return Status::Ok();
  const std::string which = "index record " + std::to_string(records - 1);
  uint8_t raw[kIndexRecordSize];
  IoResult code = ReadExact(index, (records - 1) * kIndexRecordSize, raw);
  if (code != io::kOk) return Status::FromIo(code, "reading " + which);
  const IndexRecord last = DecodeIndexRecord(raw);
  if (last.deleted()) return Status::Ok();
  uint8_t fixed[kFixedHeaderSize];
  code = uint64_t{last.HdrOffset} + kFixedHeaderSize > header_len
             ? io::kReadPastEnd
             : ReadExact(headers, last.HdrOffset, fixed);
  if (code == io::kReadPastEnd) {
    return Status::Damaged("the header of " + which + " runs past the end of the header file");
  }
  if (code != io::kOk) return Status::FromIo(code, "reading the header of " + which);
  const uint64_t header_end =
      uint64_t{last.HdrOffset} + kFixedHeaderSize + DecodeFixed32(fixed + kMhSubfieldLen);
  const uint64_t text_bytes = DecodeFixed32(fixed + kMhTxtLen);
  if (header_end > header_len) {
    return Status::Damaged("the header of " + which + " runs past the end of the header file");
  }
  if (text_bytes > 0 && DecodeFixed32(fixed + kMhTxtOffset) + text_bytes > text_len) {
    return Status::Damaged("the text of " + which + " runs past the end of the text file");
  }
  return Status::Ok();
}

}  // namespace

JamStore::JamStore(JamBaseFiles& files, JamIndex& index, JamHeaderReader& reader,
                   JamTextSource& text)
    : files_(files),
      index_(index),
      reader_(reader),
      text_(text),
      scratch_(new uint8_t[kTextBufferSize]) {}

Status JamStore::Begin(std::unique_ptr<Change>* change) {
  // Headers read under the lock come from the file: what was read ahead
  // before it may have been changed by the program that held it last.
  reader_.Drop();
  return files_.BeginChange(change);
}

Status JamStore::WriteIndexRecord(Change& change, int64_t record, const IndexRecord& entry) {
  uint8_t raw[kIndexRecordSize];
  EncodeIndexRecord(entry, raw);
  const uint64_t offset = static_cast<uint64_t>(record) * kIndexRecordSize;
  uint64_t size = 0;
  Status s = change.Size(*files_.index_file(), &size);
  if (!s.ok()) return s;
  // A record at the end overwrites nothing (but the bytes of a torn one,
  // which must come back on undo like any others).
  return offset == size ? change.WriteFresh(*files_.index_file(), offset, raw)
                        : change.Write(*files_.index_file(), offset, raw);
}

Status JamStore::ReadStored(const JamHeader& loaded, int64_t record, Stored* stored) {
  const std::string which = "index record " + std::to_string(record);
  if (record < 0) return Status::NoSuchMessage("the cursor stands before the index");
  stored->record = record;
  uint8_t raw[kIndexRecordSize];
  IoResult code = ReadExact(*files_.index_file(),
                            static_cast<uint64_t>(record) * kIndexRecordSize, raw);
  if (code == io::kReadPastEnd) {
    return Status::NoSuchMessage(which + " is past the end of the index");
  }
  if (code != io::kOk) return Status::FromIo(code, "reading " + which);
  stored->entry = DecodeIndexRecord(raw);
  if (stored->entry.deleted()) return Status::NoSuchMessage(which + " is deleted");
  code = ReadExact(*files_.header_file(), stored->entry.HdrOffset, stored->fixed);
  if (code == io::kReadPastEnd) {
    return Status::Damaged(which + " points past the end of the header file");
  }
  if (code != io::kOk) return Status::FromIo(code, "reading the header of " + which);
  if (std::memcmp(stored->fixed + kMhSignature, "JAM", 4) != 0 ||
      DecodeFixed32(stored->fixed + kMhMessageNumber) != loaded.MessageNumber()) {
    return Status::NoSuchMessage(which + " no longer points at the message loaded");
  }
  return Status::Ok();
}

// ---- Storing a new message ----

void JamStore::PrepareNew(JamHeader& header, const HeaderFields& fields) {
  header.ApplyFields(fields);
  std::memcpy(header.fixed().data() + kMhSignature, "JAM", 4);
  header.SetField(kMhAttribute, header.Field(kMhAttribute) | TypeBit(fields.mail_type));
  EncodeFixed16(header.fixed().data() + kMhRevision, 1);
  const bool exact = fields.exact_dates;
  header.SetField(kMhDateProcessed,
                  exact ? UnixFromLocal(fields.processed)
                        : PackedToUnix(CurrentPackedDateTime(files_.env())));
  header.SetField(kMhDateWritten, exact ? UnixFromLocal(fields.written)
                                        : DateWrittenFromTexts(fields.date_text, fields.time_text));
  // The subfields are built afresh for every store.
  SubfieldWriter writer(header.subfield_area());
  WriteComposedSubfields(fields, &writer);
  header.SetField(kMhSubfieldLen, writer.used());
}

Status JamStore::AppendText(Change& change, const ComposedText& text, uint32_t* offset) {
  File& file = *files_.text_file();
  uint64_t size = 0;
  Status s = change.Size(file, &size);
  if (!s.ok()) return s;
  // Offsets and lengths are 32-bit fields of the header.
  const uint64_t total = text.Size();
  if (size + total > UINT32_MAX) {
    return Status::FromIo(io::kDiskWriteError, "the text file would pass 4 GiB");
  }
  *offset = static_cast<uint32_t>(size);
  for (uint64_t copied = 0; copied < total && s.ok();) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kTextBufferSize, total - copied));
    const std::span<uint8_t> bytes(scratch_.get(), piece);
    s = text.ReadAt(copied, bytes);
    if (s.ok()) s = change.WriteFresh(file, size + copied, bytes);  // past the old end
    copied += piece;
  }
  return s;
}

Status JamStore::StoreNew(Change& change, JamHeader& header, const HeaderFields& fields,
                          const ComposedText& text) {
  uint64_t index_len = 0, header_len = 0, text_len = 0;
  Status s = change.Size(*files_.index_file(), &index_len);
  if (s.ok()) s = change.Size(*files_.header_file(), &header_len);
  if (s.ok()) s = change.Size(*files_.text_file(), &text_len);
  if (s.ok() && header_len > UINT32_MAX) {
    s = Status::FromIo(io::kDiskWriteError, "the header file would pass 4 GiB");
  }
  if (!s.ok()) return s;
  const uint64_t records = index_len / kIndexRecordSize;  // a torn record is overwritten
  uint32_t number = 0;
  s = NewMessageNumber(records, files_.BaseField(kBhBaseMsgNum), &number);
  if (s.ok()) {
    s = CheckLastMessageEnds(*files_.index_file(), *files_.header_file(), records, header_len,
                             text_len);
  }
  if (!s.ok()) return s;
  header.SetField(kMhMessageNumber, number);
  header.SetField(kMhTxtLen, static_cast<uint32_t>(text.Size()));
  uint32_t txt_offset = 0;
  s = AppendText(change, text, &txt_offset);
  header.SetField(kMhTxtOffset, txt_offset);
  const IndexRecord entry{NameChecksum(fields.to), static_cast<uint32_t>(header_len)};
  if (s.ok()) s = WriteIndexRecord(change, static_cast<int64_t>(records), entry);
  if (s.ok()) s = change.WriteFresh(*files_.header_file(), header_len, header.Stored());
  return s;
}

Status JamStore::Append(JamHeader& header, const HeaderFields& fields,
                        const ComposedText& text, uint16_t* code) {
  PrepareNew(header, fields);
  std::unique_ptr<Change> change;
  Status s = Begin(&change);
  if (s.ok()) s = StoreNew(*change, header, fields, text);
  if (s.ok()) s = files_.CommitCounted(*change, +1);
  change.reset();  // undoes what was not committed, then unlocks
  reader_.Drop();
  text_.DropWindow();
  *code = CodeOf(s);
  return s;
}

// ---- Changing a stored message ----

Status JamStore::RewriteHeader(JamHeader& loaded, int64_t record, const HeaderFields& fields) {
  if (!loaded.loaded()) return Status::NoSuchMessage("no message is loaded");
  std::unique_ptr<Change> change;
  Stored stored;
  Status s = Begin(&change);
  if (s.ok()) s = ReadStored(loaded, record, &stored);
  // The fixed part is written back only over the header it was read from,
  // and only while that header's subfields are the ones it describes.
  if (s.ok() && (stored.entry.HdrOffset != loaded.offset() ||
                 DecodeFixed32(stored.fixed + kMhSubfieldLen) != loaded.Field(kMhSubfieldLen))) {
    s = Status::NoSuchMessage("the header of the message loaded has moved or changed");
  }
  if (s.ok()) {
    loaded.ApplyFields(fields);
    s = change->Write(*files_.header_file(), stored.entry.HdrOffset, loaded.fixed());
  }
  if (s.ok()) s = change->Commit();  // the base header did not change
  change.reset();
  reader_.Drop();
  return s;
}

Status JamStore::Delete(JamHeader& loaded, int64_t record) {
  if (!loaded.loaded() || loaded.deleted()) return Status::Ok();
  std::unique_ptr<Change> change;
  Stored stored;
  Status s = Begin(&change);
  if (s.ok()) s = ReadStored(loaded, record, &stored);
  if (s.ok()) {
    // The header as stored gets the bit, not the one loaded.
    EncodeFixed32(stored.fixed + kMhAttribute,
                  DecodeFixed32(stored.fixed + kMhAttribute) | kAttrDeleted);
    s = change->Write(*files_.header_file(), stored.entry.HdrOffset, stored.fixed);
  }
  const IndexRecord gone{kNoCrc, kNoCrc};
  if (s.ok()) s = WriteIndexRecord(*change, record, gone);
  if (s.ok()) s = files_.CommitCounted(*change, -1);
  change.reset();
  reader_.Drop();
  if (!s.ok()) return s;
  loaded.SetField(kMhAttribute, loaded.Field(kMhAttribute) | kAttrDeleted);
  index_.Update(record, gone);
  return s;
}

Status JamStore::RebuildSubfields(JamHeader& loaded, const HeaderFields& fields,
                                  const Stored& old) {
  // The composed kinds are written afresh; the others are carried over
  // from the stored header, in their order, while they fit.
  const size_t want = std::min<size_t>(DecodeFixed32(old.fixed + kMhSubfieldLen),
                                       kSubfieldAreaSize);
  const std::span<uint8_t> stored(scratch_.get(), want);
  size_t done = 0;
  const IoResult code = RetryRead(*files_.header_file(),
                                  uint64_t{old.entry.HdrOffset} + kFixedHeaderSize, stored, &done);
  if (code != io::kOk) return Status::FromIo(code, "reading the stored subfields");
  SubfieldWriter writer(loaded.subfield_area());
  WriteComposedSubfields(fields, &writer);
  ForEachSubfield(stored.first(done), [&](const Subfield& sf) {
    return IsComposedKind(sf.kind) || writer.AddRecord(sf.record);
  });
  loaded.SetField(kMhSubfieldLen, writer.used());
  return Status::Ok();
}

Status JamStore::StoreRewritten(Change& change, const JamHeader& loaded, const Stored& old,
                                uint32_t crc, uint32_t* at) {
  File& header_file = *files_.header_file();
  const std::span<const uint8_t> header = loaded.Stored();
  const uint32_t old_offset = old.entry.HdrOffset;
  if (header.size() == kFixedHeaderSize + uint64_t{DecodeFixed32(old.fixed + kMhSubfieldLen)}) {
    // As long as before: over the old header; the record keeps its place.
    *at = old_offset;
    Status s = WriteIndexRecord(change, old.record, {crc, old_offset});
    return s.ok() ? change.Write(header_file, old_offset, header) : s;
  }
  // Any other length would overwrite the header that follows: the new one
  // is appended and the old one marked deleted. HdrOffset must stay
  // positive (negative is deleted).
  uint64_t end = 0;
  Status s = change.Size(header_file, &end);
  if (s.ok() && end > INT32_MAX) {
    s = Status::FromIo(io::kDiskWriteError, "the header file would pass 2 GiB");
  }
  *at = static_cast<uint32_t>(end);
  if (s.ok()) s = change.WriteFresh(header_file, end, header);
  if (s.ok()) s = WriteIndexRecord(change, old.record, {crc, *at});
  uint8_t fixed[kFixedHeaderSize];
  std::memcpy(fixed, old.fixed, kFixedHeaderSize);
  EncodeFixed32(fixed + kMhAttribute, DecodeFixed32(fixed + kMhAttribute) | kAttrDeleted);
  if (s.ok()) s = change.Write(header_file, old_offset, fixed);
  return s;
}

Status JamStore::RewriteMessage(JamHeader& loaded, int64_t record, const HeaderFields& fields,
                                const ComposedText& text) {
  if (!loaded.loaded()) return Status::NoSuchMessage("no message is loaded");
  std::unique_ptr<Change> change;
  Stored old;
  uint32_t txt_offset = 0, at = 0;
  const uint32_t crc = NameChecksum(fields.to);
  Status s = Begin(&change);
  if (s.ok()) s = ReadStored(loaded, record, &old);
  if (s.ok()) s = AppendText(*change, text, &txt_offset);
  if (s.ok()) s = RebuildSubfields(loaded, fields, old);
  if (s.ok()) {
    loaded.ApplyFields(fields);
    loaded.SetField(kMhTxtOffset, txt_offset);
    loaded.SetField(kMhTxtLen, static_cast<uint32_t>(text.Size()));
    s = StoreRewritten(*change, loaded, old, crc, &at);
  }
  if (s.ok()) s = change->Commit();  // the counters did not change
  change.reset();
  reader_.Drop();
  text_.DropWindow();
  if (!s.ok()) return s;
  loaded.SetLoaded(at, loaded.Stored().size());
  index_.Update(record, {crc, at});
  return s;
}

}  // namespace drayline::jam
