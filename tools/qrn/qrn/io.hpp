// Reading and writing protocol buffers as text or binary files.
#pragma once

#include <string>

#include <google/protobuf/message.h>

#include "qrn.pb.h"

namespace qrn {

bool ReadProtoFromTextFile(const std::string& path, google::protobuf::Message* proto);
bool ReadProtoFromBinaryFile(const std::string& path, google::protobuf::Message* proto);
// Both end the process with a message naming the file when it cannot be read
// or parsed.
void ReadProtoFromTextFileOrDie(const std::string& path, google::protobuf::Message* proto);
void ReadProtoFromBinaryFileOrDie(const std::string& path, google::protobuf::Message* proto);

inline void ReadNetParamsFromTextFileOrDie(const std::string& path, NetParameter* param) {
  ReadProtoFromTextFileOrDie(path, param);
}
inline void ReadNetParamsFromBinaryFileOrDie(const std::string& path, NetParameter* param) {
  ReadProtoFromBinaryFileOrDie(path, param);
}

// Return false (and log an error) when the file cannot be written.
bool WriteProtoToTextFile(const google::protobuf::Message& proto, const std::string& path);
bool WriteProtoToBinaryFile(const google::protobuf::Message& proto, const std::string& path);

}  // namespace qrn
