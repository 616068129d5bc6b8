#include "post/test_board.h"

#include <filesystem>

#include "test_util.h"

namespace drayline {

MessageBaseRecord JamBaseRecord(const std::string& file_name, uint8_t net_type,
                                uint8_t post_type) {
  MessageBaseRecord record;
  record.BaseFileName = file_name;
  record.BasePath = "msgs/";
  record.BaseFormat = kFormatJam;
  record.NetType = net_type;
  record.PostType = post_type;
  return record;
}

void WriteBaseRecords(const std::string& name,
                      const std::vector<MessageBaseRecord>& records) {
  std::vector<uint8_t> bytes(records.size() * kMessageBaseRecordSize);
  for (size_t i = 0; i < records.size(); ++i) {
    EncodeMessageBaseRecord(records[i], std::span(bytes).subspan(
                                            i * kMessageBaseRecordSize));
  }
  WriteFileBytes(name, bytes);
}

void WriteTestBoard(const std::string& root,
                    const std::vector<MessageBaseRecord>& records,
                    const std::string& data_path) {
  std::filesystem::create_directories(root + "/" + data_path);
  std::filesystem::create_directories(root + "/msgs");
  std::vector<uint8_t> system(kSystemConfigRecordSize);
  EncodeSystemConfigRecord({.DataPath = data_path}, system);
  WriteFileBytes(root + "/tarvik.dat", system);
  WriteBaseRecords(root + "/" + data_path + "mbases.dat", records);
}

}  // namespace drayline
