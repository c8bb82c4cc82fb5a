#include "tools/jwgate/sparkplug/payload_check.h"

#include <vector>

namespace jwgate::sparkplug {
namespace {

bool HasUnknownFields(const google::protobuf::Message& message) {
    const google::protobuf::Reflection* reflection = message.GetReflection();
    if (!reflection->GetUnknownFields(message).empty()) return true;
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    for (const google::protobuf::FieldDescriptor* field : fields) {
        if (field->cpp_type() != google::protobuf::FieldDescriptor::CPPTYPE_MESSAGE) continue;
        if (!field->is_repeated()) {
            if (HasUnknownFields(reflection->GetMessage(message, field))) return true;
            continue;
        }
        for (int index = 0; index < reflection->FieldSize(message, field); ++index) {
            if (HasUnknownFields(reflection->GetRepeatedMessage(message, field, index))) return true;
        }
    }
    return false;
}

}  // namespace

bool ParsePayload(std::string_view bytes, sparkplug_b::Payload* payload) {
    if (bytes.empty() || !payload->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return false;
    return !HasUnknownFields(*payload);
}

}  // namespace jwgate::sparkplug
