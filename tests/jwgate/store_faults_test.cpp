// A store that cannot work as it should (a corrupt file, a full file system
// at the start or while running) costs one clear line naming the file: the
// gateway keeps scanning the paced line and serving Modbus, with no broker
// to take the messages, so that they pile up in the store.
#include <gtest/gtest.h>

#include <modbus/modbus.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "jwgate/broker_process.h"
#include "jwgate/gateway_process.h"
#include "jwgate/small_file_system.h"
#include "jwgate/stepped_line.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Register 0, the stepped counter, as a Modbus client reads it; -1 if it cannot.
int CounterOverModbus(int port) {
    modbus_t* client = modbus_new_tcp("127.0.0.1", port);
    std::uint16_t value = 0;
    const bool read = client != nullptr && modbus_connect(client) == 0 && modbus_read_input_registers(client, 0, 1, &value) == 1;
    if (client != nullptr) {
        modbus_close(client);
        modbus_free(client);
    }
    return read ? value : -1;
}

// The counter read over Modbus goes on rising: the scan goes on.
void ExpectScanningAndServing(int port) {
    int before = CounterOverModbus(port);
    // Until the first good read, Modbus answers the point with an exception.
    for (int tries = 0; before < 0 && tries < 100; ++tries) {
        std::this_thread::sleep_for(milliseconds(100));
        before = CounterOverModbus(port);
    }
    std::this_thread::sleep_for(seconds(1));
    const int after = CounterOverModbus(port);
    EXPECT_GE(before, 0);
    EXPECT_GT(after, before);
}

struct FaultCase {
    const char* name;
    const char* size;  // of the store's own file system; nullptr for none
    std::function<void(const std::string& directory, const SmallFileSystem&)> before;  // the gateway's start
    std::function<void(const SmallFileSystem&)> during;                                // once it scans
    const char* line;   // the one line it costs
    const char* again;  // the line once the fault ended (the disk emptied); nullptr for none
};

TEST(StoreFaults, CostOneLineAndTheGatewayKeepsScanningAndServing) {
    const FaultCase cases[] = {
        {"a corrupt file", nullptr,
         [](const std::string& directory, const SmallFileSystem&) {
             std::ofstream(directory + "/line.db") << std::string(8192, 'j');
         },
         nullptr, "; moved aside to ", nullptr},
        {"a full file system at the start", "256k",
         [](const std::string&, const SmallFileSystem& disk) { disk.Fill(); }, nullptr,
         "line.db: cannot be used as a store (", nullptr},
        {"a file system that fills up", "1m", nullptr, [](const SmallFileSystem& disk) { disk.Fill(); },
         "line.db: fault: ", "line.db: commits again"},
    };
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    for (const FaultCase& fault : cases) {
        SCOPED_TRACE(fault.name);
        ScratchDirectory directory;
        SteppedLine line(directory.path() + "/steps");
        ASSERT_TRUE(line.Start());
        const std::string storeDirectory = directory.path() + "/store";
        SmallFileSystem disk(storeDirectory, fault.size != nullptr ? fault.size : "64m");
        ASSERT_TRUE(disk.mounted());
        if (fault.before) fault.before(storeDirectory, disk);
        // Nothing listens on the broker's port: every value stays in the store.
        GatewayProcess gateway("[line]\nport = \"" + line.devicePath() + "\"\nbaud = 19200\n"
                               "[modbus]\nport = 0\n[mqtt]\nport = " + std::to_string(BrokerProcess::FreePort()) +
                               "\nstatus_topic = \"jw/status\"\n[store]\npath = \"" + storeDirectory + "/line.db\"\n"
                               "[[point]]\nname = \"counter\"\naddress = \"01MA0100\"\ntype = \"u16\"\n"
                               "interval_ms = 100\npublish = \"every_read\"\nmodbus = 0\nmqtt_topic = \"jw/counter\"\n");
        const int port = gateway.ModbusPort(milliseconds(15000));
        ASSERT_GT(port, 0) << gateway.Log();
        // The store is opened before the scan starts.
        ASSERT_TRUE(gateway.WaitForLog("scanning 1 point", milliseconds(15000))) << gateway.Log();
        if (fault.during) fault.during(disk);
        EXPECT_TRUE(gateway.WaitForLog(fault.line, milliseconds(15000))) << gateway.Log();
        EXPECT_EQ(gateway.TimesLogged(fault.line), 1) << gateway.Log();
        ExpectScanningAndServing(port);
        if (fault.again != nullptr) {
            disk.Empty();
            EXPECT_TRUE(gateway.WaitForLog(fault.again, milliseconds(15000))) << gateway.Log();
        }
        EXPECT_EQ(gateway.Stop(SIGTERM, seconds(10)), 0) << gateway.Log();
    }
}

}  // namespace
}  // namespace jwgate::test
