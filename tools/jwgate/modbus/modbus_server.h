// The Modbus TCP server: its own thread serves any number of clients (up to
// the configured limit) from one poll() loop; it gathers each request itself,
// so a client that sends slowly only waits for itself, and libmodbus frames
// the replies (the exceptions it frames itself). A client silent for the idle
// timeout is closed, and when every slot is taken the longest-idle client
// makes way for a new one. A client from an address not in "allow" is closed
// before a byte of it is read; with "read_only" every write is refused with
// 0x01 and never reaches the line. Reads are
// answered from the point table and never wait for the line; a write is
// queued for the scan and answered when the controller acknowledged it, or
// with exception 0x0B when the bounded wait passes, while the other clients
// are served on.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/core/refusal_log.h"
#include "tools/jwgate/core/server_statistics.h"
#include "tools/jwgate/core/write_queue.h"
#include "tools/jwgate/modbus/write_outcomes.h"

namespace jwgate {

class ModbusServer {
public:
    ModbusServer(std::shared_ptr<const GatewayConfig> config, const PointTable& table, WriteQueue& writes);
    ~ModbusServer();  // Stop()
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Listens; false with the reason. The port actually bound (the
    // configured one, or the one the system chose for 0) is port().
    bool Start(std::string* error);
    // Answers every client still waiting for a write (0x0B for one whose
    // outcome has not come), closes them and stops listening. Idempotent.
    void Stop();
    int port() const { return port_; }
    // Clients connected and requests received so far. Thread-safe.
    ModbusStatistics Statistics() const;

private:
    struct Client;
    struct Request;

    void Serve();
    void Accept();
    bool MakeRoom();
    bool LetIn(int fd, const sockaddr_in& peer);
    void Receive(Client& client);
    void Handle(Client& client);
    int Parse(const Client& client, Request* request) const;
    void ServeRead(Client& client, const Request& request);
    void QueueWrite(Client& client, const Request& request);
    void Refuse(const Client& client, int code) const;
    void DropSilentClients();
    void Answer(Client& client);
    void FinishWrites();
    void TimeOutWrites();
    void Close(std::uint64_t id);

    const std::shared_ptr<const GatewayConfig> config_;
    const PointTable& table_;
    WriteQueue& writes_;
    struct Context;
    std::unique_ptr<Context> context_;
    int listen_ = -1;
    // The outcomes of the writes queued for the clients; woken through it
    // by Stop too.
    std::shared_ptr<WriteOutcomes> outcomes_;
    int port_ = 0;
    std::atomic<bool> stopping_ {false};
    std::map<std::uint64_t, std::unique_ptr<Client>> clients_;
    std::uint64_t nextClient_ = 1;
    std::uint64_t nextRequest_ = 1;
    // Clients closed to make room, and refused, since the last line said so.
    int evicted_ = 0;
    int refused_ = 0;
    Clock::time_point lastCrowdLine_ {};
    RefusalLog refusals_ {"modbus"};

    mutable std::mutex statisticsMutex_;
    ModbusStatistics statistics_;  // copied out of the serving thread's own state
    // Last, so that everything its thread uses outlives it.
    std::thread thread_;
};

}  // namespace jwgate
