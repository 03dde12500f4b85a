#include "qrn/io.hpp"

#include <climits>
#include <fstream>
#include <sstream>

#include <glog/logging.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/text_format.h>

namespace qrn {

bool ReadProtoFromTextFile(const std::string& path, google::protobuf::Message* proto) {
  std::ifstream in(path);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  return google::protobuf::TextFormat::ParseFromString(text.str(), proto);
}

bool ReadProtoFromBinaryFile(const std::string& path, google::protobuf::Message* proto) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  google::protobuf::io::IstreamInputStream raw(&in);
  google::protobuf::io::CodedInputStream coded(&raw);
  coded.SetTotalBytesLimit(INT_MAX);
  return proto->ParseFromCodedStream(&coded) && coded.ConsumedEntireMessage();
}

void ReadProtoFromTextFileOrDie(const std::string& path, google::protobuf::Message* proto) {
  CHECK(ReadProtoFromTextFile(path, proto))
      << "Failed to read or parse the text definition file: " << path;
}

void ReadProtoFromBinaryFileOrDie(const std::string& path, google::protobuf::Message* proto) {
  CHECK(ReadProtoFromBinaryFile(path, proto))
      << "Failed to read or parse the binary file: " << path;
}

bool WriteProtoToTextFile(const google::protobuf::Message& proto, const std::string& path) {
  std::string text;
  if (!google::protobuf::TextFormat::PrintToString(proto, &text)) return false;
  std::ofstream out(path, std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    LOG(ERROR) << "Cannot write " << path;
    return false;
  }
  return true;
}

bool WriteProtoToBinaryFile(const google::protobuf::Message& proto, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const bool ok = out && proto.SerializeToOstream(&out);
  out.close();
  if (!ok || !out) {
    LOG(ERROR) << "Cannot write " << path;
    return false;
  }
  return true;
}

}  // namespace qrn
