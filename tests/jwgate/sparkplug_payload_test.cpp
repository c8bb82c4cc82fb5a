// The Sparkplug B side's pure parts, one table each: the ids and topics, a
// point as a metric, a command's write as the /set path takes it, and a
// payload printed for people.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/jwgate/sparkplug/payload_json.h"
#include <cmath>
#include <functional>

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
        {"#", "contains \"#\""},
        {"a\x01z", "contains a control character"},
        {"a\x7F", "contains a control character"},
        {"a\xC2\x85", "contains a control character"},  // U+0085
        {"\xC3\x28", "is not valid UTF-8"},
        {"\xC0\xAF", "is not valid UTF-8"},              // an overlong "/"
        {"\xED\xA0\x80", "is not valid UTF-8"},          // a surrogate
        {"ab\xE2\x82", "is not valid UTF-8"},            // cut short
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

TEST(SparkplugPayloads, NodeBirthDataAndDeath) {
    ScanCounters counters;
    counters.exchanges = 10;
    const Payload birth = NodeBirthPayload(5, counters, 7);
    EXPECT_EQ(birth.seq(), 0u);
    ASSERT_GE(birth.metrics_size(), 3);
    EXPECT_EQ(birth.metrics(0).ShortDebugString(), "name: \"bdSeq\" timestamp: 7 datatype: 8 long_value: 5");
    EXPECT_EQ(birth.metrics(1).ShortDebugString(),
              "name: \"Node Control/Rebirth\" timestamp: 7 datatype: 11 boolean_value: false");
    ScanCounters later = counters;
    later.exchanges = 12;
    later.portOpen = true;
    const Payload data = NodeDataPayload(later, counters, 8);
    ASSERT_EQ(data.metrics_size(), 2);
    EXPECT_EQ(data.metrics(0).name(), "Line/Exchanges");
    EXPECT_EQ(data.metrics(1).name(), "Line/Port Open");
    EXPECT_EQ(NodeDeathPayload(5, 9).ShortDebugString(),
              "timestamp: 9 metrics { name: \"bdSeq\" timestamp: 9 datatype: 8 long_value: 5 }");
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

TEST(SparkplugJson, APayloadIsPrintedOneMetricALine) {
    PointConfig temp = Point(ValueType::kI16, 0.1, 0, "C");
    temp.name = "temp";
    PointConfig count = Point(ValueType::kI16);
    count.name = "count";
    Payload payload = DeviceDataPayload({{&temp, {"temp", -2.5, Quality::kGood, 10}},
                                         {&count, {"count", std::nullopt, Quality::kBad, 0}}}, 20, true);
    payload.set_seq(4);
    EXPECT_EQ(PayloadJson(payload.SerializeAsString()),
              "{\"timestamp\": 20, \"seq\": 4, \"metrics\": [\n"
              "  {\"name\":\"temp\",\"timestamp\":10,\"datatype\":\"Double\",\"value\":-2.5,\"is_historical\":true,"
              "\"properties\":{\"Quality\":192}},\n"
              "  {\"name\":\"count\",\"timestamp\":20,\"datatype\":\"Int16\",\"value\":null,\"is_null\":true,"
              "\"is_historical\":true,\"properties\":{\"Quality\":0}}\n]}\n");
    for (const std::string& bytes : {std::string(), std::string("hello"), std::string("{\"online\": true}"),
                                    payload.SerializeAsString().substr(0, 9)}) {
        EXPECT_FALSE(PayloadJson(bytes).has_value()) << bytes;
        EXPECT_FALSE(ParseNodeCommand(bytes).has_value()) << bytes;
    }
}

}  // namespace
}  // namespace jwgate::sparkplug
