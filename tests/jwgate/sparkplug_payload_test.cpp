// The Sparkplug B side's pure parts, one table each: the ids and topics, a
// point as a metric, a command's write as the /set path takes it, and a
// payload printed for people.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tools/jwgate/sparkplug/payload_json.h"
#include "tools/jwgate/sparkplug/sparkplug_commands.h"
#include "tools/jwgate/sparkplug/sparkplug_names.h"
#include "tools/jwgate/sparkplug/sparkplug_payloads.h"

namespace jwgate::sparkplug {
namespace {

TEST(SparkplugNames, IdsAreTopicLevelsOfValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"line-a", ""},
        {"Halle Nord \xC3\xBC", ""},
        {"", "is empty"},
        {"a+b", "contains \"+\""},
        {"a/b", "contains \"/\""},
        {"a\x01z", "contains a control character"},
        {"a\xC2\x85", "contains a control character"},  // U+0085
        {"\xC3\x28", "is not valid UTF-8"},
        {"\xED\xA0\x80", "is not valid UTF-8"},          // a surrogate
    };
    for (const auto& [id, problem] : cases) EXPECT_EQ(IdProblem(id), problem) << id;
}

TEST(SparkplugNames, TopicsAreBuiltAndReadBack) {
    const std::pair<Topic, std::string> cases[] = {
        {{MessageType::kNBirth, "plant", "line-a", "", ""}, "spBv1.0/plant/NBIRTH/line-a"},
        {{MessageType::kNCmd, "plant", "line-a", "", ""}, "spBv1.0/plant/NCMD/line-a"},
        {{MessageType::kDData, "plant", "line-a", "station01", ""}, "spBv1.0/plant/DDATA/line-a/station01"},
        {{MessageType::kDCmd, "p", "e", "station77", ""}, "spBv1.0/p/DCMD/e/station77"},
        {{MessageType::kState, "", "", "", "scada"}, "spBv1.0/STATE/scada"},
    };
    for (const auto& [topic, text] : cases) {
        EXPECT_EQ(TopicOf(topic), text);
        EXPECT_EQ(ParseTopic(text), topic) << text;
    }
    for (const char* other : {"spBv1.0/plant/NBIRTH/line-a/station01", "spBv1.0/plant/DBIRTH/line-a",
                              "spAv1.0/plant/NBIRTH/line-a", "spBv1.0/plant/NHELLO/line-a", "spBv1.0/STATE/a/b",
                              "spBv1.0/plant//line-a", "spBv1.0/plant/STATE/line-a", "spBv1.0/plant"}) {
        EXPECT_FALSE(ParseTopic(other).has_value()) << other;
    }
}

TEST(SparkplugNames, AStationIsADeviceNamedByItsOctalDigits) {
    EXPECT_EQ(DeviceIdOf(1), "station01");
    EXPECT_EQ(DeviceIdOf(63), "station77");
    EXPECT_EQ(StationOfDeviceId("station77"), 63);
    EXPECT_EQ(StationOfDeviceId("station00"), 0);
    for (const char* other : {"station8", "station08", "station011", "Station01", "node01"}) {
        EXPECT_FALSE(StationOfDeviceId(other).has_value()) << other;
    }
}

PointConfig Point(ValueType type, double scale = 1, double offset = 0, const std::string& unit = "") {
    PointConfig point;
    point.name = "p";
    point.type = type;
    point.scaling = {scale, offset};
    point.unit = unit;
    point.writable = true;
    return point;
}

// The one metric of a station's birth with point p read as value.
Metric BornAs(const PointConfig& point, std::optional<double> value, Quality quality = Quality::kGood) {
    const Payload payload = DeviceBirthPayload({{&point, {"p", value, quality, 1234}}}, 99);
    EXPECT_EQ(payload.metrics_size(), 1);
    return payload.metrics(0);
}

std::string PropertiesOf(const Metric& metric) {
    std::string text;
    for (int index = 0; index < metric.properties().keys_size(); ++index) {
        const auto& value = metric.properties().values(index);
        text += metric.properties().keys(index) + "=" +
                (value.has_string_value() ? value.string_value() : std::to_string(value.int_value())) + " ";
    }
    return text;
}

TEST(SparkplugPayloads, APointIsAMetricOfItsValueTypesDatatype) {
    struct Case {
        PointConfig point;
        double value;
        DataType type;
        std::string wire;  // the value field as sent
    };
    const Case cases[] = {
        {Point(ValueType::kRelay), 1, sparkplug_b::Boolean, "boolean_value: true"},
        {Point(ValueType::kU16), 65535, sparkplug_b::UInt16, "int_value: 65535"},
        {Point(ValueType::kI16), -5, sparkplug_b::Int16, "int_value: 4294967291"},
        {Point(ValueType::kU32), 4294967295.0, sparkplug_b::UInt32, "int_value: 4294967295"},
        {Point(ValueType::kI32), -2147483648.0, sparkplug_b::Int32, "int_value: 2147483648"},
        {Point(ValueType::kFloat), 1.5, sparkplug_b::Float, "float_value: 1.5"},
        {Point(ValueType::kU16, 0.1), 21.5, sparkplug_b::Double, "double_value: 21.5"},
        {Point(ValueType::kI16, 1, -40), -40, sparkplug_b::Double, "double_value: -40"},
    };
    for (const Case& test : cases) {
        const Metric metric = BornAs(test.point, test.value);
        SCOPED_TRACE(metric.ShortDebugString());
        EXPECT_EQ(metric.datatype(), static_cast<std::uint32_t>(test.type));
        EXPECT_NE(metric.ShortDebugString().find(test.wire), std::string::npos);
        EXPECT_EQ(metric.timestamp(), 1234u);
        EXPECT_FALSE(metric.is_null());
    }
}

TEST(SparkplugPayloads, UnitDecimalsAndQualityAreProperties) {
    EXPECT_EQ(PropertiesOf(BornAs(Point(ValueType::kU16, 0.1, 0, "\xC2\xB0" "C"), 21.5)),
              "Quality=192 engUnit=\xC2\xB0" "C precision=1 ");
    EXPECT_EQ(PropertiesOf(BornAs(Point(ValueType::kU16), 4, Quality::kStale)), "Quality=500 ");
    const Metric bad = BornAs(Point(ValueType::kU16), 4, Quality::kBad);
    EXPECT_TRUE(bad.is_null());
    EXPECT_EQ(bad.value_case(), Metric::VALUE_NOT_SET);
    EXPECT_EQ(PropertiesOf(bad), "Quality=0 ");
    EXPECT_TRUE(BornAs(Point(ValueType::kU16), std::nullopt, Quality::kGood).is_null());
}

TEST(SparkplugPayloads, IntegersReadBackByTheirDatatypesWidth) {
    struct Case {
        DataType type;
        std::uint32_t bits;
        std::optional<std::int64_t> value;
    };
    const Case cases[] = {
        {sparkplug_b::UInt8, 255, 255},         {sparkplug_b::UInt8, 256, std::nullopt},
        {sparkplug_b::Int8, 0xFF, -1},          {sparkplug_b::Int8, 0xFFFFFF80u, -128},
        {sparkplug_b::Int8, 0xFFFFFF7Fu, std::nullopt},
        {sparkplug_b::Int16, 0xFFFB, -5},       {sparkplug_b::Int16, 0xFFFFFFFBu, -5},
        {sparkplug_b::Int16, 0x10000, std::nullopt}, {sparkplug_b::UInt16, 0xFFFFFFFFu, std::nullopt},
        {sparkplug_b::Int32, 0x80000000u, -2147483648LL}, {sparkplug_b::UInt32, 0xFFFFFFFFu, 4294967295LL},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(IntegerValueOf(test.type, test.bits), test.value) << test.type << " " << test.bits;
    }
}

std::string Command(const std::string& name, const std::function<void(Metric&)>& set) {
    Payload payload;
    payload.set_timestamp(1);
    Metric& metric = *payload.add_metrics();
    metric.set_name(name);
    set(metric);
    return payload.SerializeAsString();
}

TEST(SparkplugCommands, AWriteIsCheckedAgainstThePointItNames) {
    std::vector<PointConfig> points = {Point(ValueType::kI16), Point(ValueType::kU16, 0.1), Point(ValueType::kRelay),
                                       Point(ValueType::kU16)};
    const char* names[] = {"count", "temp", "valve", "level"};
    for (std::size_t index = 0; index < points.size(); ++index) {
        points[index].name = names[index];
        points[index].item.station = 1;
    }
    points[3].writable = false;
    struct Case {
        std::string payload;
        std::optional<double> value;  // the write to the point named, or
        std::string reason;           // why none
    };
    const Case cases[] = {
        {Command("count", [](Metric& m) { m.set_int_value(0xFFFFFFFBu); }), -5, ""},
        {Command("count", [](Metric& m) { m.set_datatype(sparkplug_b::Int16); m.set_int_value(7); }), 7, ""},
        {Command("temp", [](Metric& m) { m.set_double_value(21.5); }), 21.5, ""},
        {Command("valve", [](Metric& m) { m.set_boolean_value(true); }), 1, ""},
        {Command("count", [](Metric& m) { m.set_int_value(70000); }), std::nullopt, "out of range for Int16"},
        {Command("temp", [](Metric& m) { m.set_float_value(21.5F); }), std::nullopt,
         "wrong datatype: the point is Double"},
        {Command("count", [](Metric& m) { m.set_datatype(sparkplug_b::UInt16); m.set_int_value(7); }), std::nullopt,
         "wrong datatype: the point is Int16"},
        {Command("temp", [](Metric& m) { m.set_double_value(NAN); }), std::nullopt, "not a finite number"},
        {Command("valve", [](Metric& m) { m.set_is_null(true); }), std::nullopt, "no value"},
        {Command("level", [](Metric& m) { m.set_int_value(1); }), std::nullopt, "read-only point"},
        {Command("flow", [](Metric& m) { m.set_int_value(1); }), std::nullopt, "unknown metric"},
        {Command("", [](Metric& m) { m.set_alias(3); m.set_int_value(1); }), std::nullopt, "no name"},
    };
    for (const Case& test : cases) {
        const auto command = ParseDeviceCommand(test.payload, 1, points);
        ASSERT_TRUE(command.has_value());
        Payload payload;
        payload.ParseFromString(test.payload);
        SCOPED_TRACE(payload.ShortDebugString());
        ASSERT_EQ(command->writes.size() + command->refusals.size(), 1u);
        if (test.value) {
            ASSERT_EQ(command->writes.size(), 1u);
            EXPECT_EQ(points[command->writes[0].point].name, payload.metrics(0).name());
            EXPECT_EQ(command->writes[0].value, *test.value);
        } else {
            ASSERT_EQ(command->refusals.size(), 1u);
            EXPECT_EQ(command->refusals[0].reason, test.reason);
        }
    }
    EXPECT_FALSE(ParseDeviceCommand(Command("count", [](Metric& m) { m.set_int_value(1); }), 2, points)->refusals.empty())
        << "a point of another station is not this device's";
}

// What jwgate --decode-sparkplug prints is checked against a real DBIRTH by
// the edge node's test; here, bytes that are no payload are refused.
TEST(SparkplugJson, BytesThatAreNoPayloadAreRefused) {
    Payload payload;
    payload.set_timestamp(20);
    payload.add_metrics()->set_name("temp");
    for (const std::string& bytes : {std::string(), std::string("hello"), std::string("{\"online\": true}"),
                                    payload.SerializeAsString().substr(0, 9)}) {
        EXPECT_FALSE(PayloadJson(bytes).has_value()) << bytes;
        EXPECT_FALSE(ParseNodeCommand(bytes).has_value()) << bytes;
    }
    EXPECT_TRUE(PayloadJson(payload.SerializeAsString()).has_value());
}

}  // namespace
}  // namespace jwgate::sparkplug
