#include "tools/jwgate/modbus/modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/jwgate/core/log.h"

namespace jwgate {
namespace {

// Room for every client to connect at once, and no more than the system takes.
int Backlog(int maxClients) { return std::min(SOMAXCONN, std::max(16, 2 * maxClients)); }
// A client that stops half-way through a request is dropped after this.
constexpr std::chrono::milliseconds kByteGap {200};
// A peer gone without a word (a crashed master, a pulled cable) is found by
// keep-alive probes after a minute's silence, six 10 s apart: two minutes.
constexpr int kKeepAliveIdleS = 60;
constexpr int kKeepAliveIntervalS = 10;
constexpr int kKeepAliveProbes = 6;
// At most one line this often about clients closed or refused for room.
constexpr std::chrono::seconds kCrowdLinePeriod {10};
// Accepted in one turn of the loop at most, so a flood cannot starve the rest.
constexpr int kAcceptsPerTurn = 64;
// Unit 0 is broadcast on a serial line; on TCP each client is alone on its
// connection and expects an answer, so 0 is answered as this server.
constexpr int kBroadcastUnit = 0;
// The frame's head: transaction, protocol (0) and the count of the bytes
// that follow it (the unit and the PDU).
constexpr int kFrameHead = 6;
constexpr int kShortestFollow = 2;  // a unit and a function code
constexpr int kUnitAt = 6;
constexpr int kPduAt = 7;
// Every function served has an address and a count (or value) after its code.
constexpr int kAddressAndCount = 5;
constexpr int kAddressSpace = 65536;

enum Function : std::uint8_t {
    kReadCoils = 0x01,
    kReadDiscreteInputs = 0x02,
    kReadHoldingRegisters = 0x03,
    kReadInputRegisters = 0x04,
    kWriteSingleCoil = 0x05,
    kWriteSingleRegister = 0x06,
    kWriteMultipleCoils = 0x0F,
    kWriteMultipleRegisters = 0x10,
    kMaskWriteRegister = 0x16,
    kReadWriteMultipleRegisters = 0x17,
};

std::uint16_t Word(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

bool IsRead(std::uint8_t function) { return function >= kReadCoils && function <= kReadInputRegisters; }
bool IsWrite(std::uint8_t function) {
    return function == kWriteSingleCoil || function == kWriteSingleRegister || function == kWriteMultipleCoils ||
           function == kWriteMultipleRegisters;
}

// Every function that changes something, served or not.
bool Changes(std::uint8_t function) {
    return IsWrite(function) || function == kMaskWriteRegister || function == kReadWriteMultipleRegisters;
}

bool IsBitTable(ModbusTable table) { return table == ModbusTable::kCoil || table == ModbusTable::kDiscreteInput; }

ModbusTable TableRead(std::uint8_t function) {
    switch (function) {
        case kReadCoils: return ModbusTable::kCoil;
        case kReadDiscreteInputs: return ModbusTable::kDiscreteInput;
        case kReadHoldingRegisters: return ModbusTable::kHoldingRegister;
        default: return ModbusTable::kInputRegister;
    }
}

struct MappingDeleter {
    void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
};
using Mapping = std::unique_ptr<modbus_mapping_t, MappingDeleter>;

// A mapping of count items of one table from start, for libmodbus to
// frame a reply from.
Mapping MappingFor(ModbusTable table, int start, int count) {
    const auto at = static_cast<unsigned int>(start);
    switch (table) {
        case ModbusTable::kCoil: return Mapping(modbus_mapping_new_start_address(at, count, 0, 0, 0, 0, 0, 0));
        case ModbusTable::kDiscreteInput: return Mapping(modbus_mapping_new_start_address(0, 0, at, count, 0, 0, 0, 0));
        case ModbusTable::kHoldingRegister: return Mapping(modbus_mapping_new_start_address(0, 0, 0, 0, at, count, 0, 0));
        default: return Mapping(modbus_mapping_new_start_address(0, 0, 0, 0, 0, 0, at, count));
    }
}

struct Slot {
    std::size_t point;
    int word;
};

}  // namespace

struct ModbusServer::Context {
    modbus_t* modbus = nullptr;
    // (table, address) -> the point and which of its registers.
    std::map<std::pair<ModbusTable, int>, Slot> slots;
    ~Context() {
        if (modbus != nullptr) modbus_free(modbus);
    }
};

struct ModbusServer::Client {
    std::uint64_t id = 0;
    int fd = -1;
    bool waiting = false;  // for the writes of its last request
    std::uint64_t request = 0;
    int pendingWrites = 0;
    bool writeFailed = false;
    Clock::time_point deadline {};
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH] = {};
    int received = 0;      // bytes of the request coming in
    // Its last byte, its connection or the answer to its last write: idle
    // time counts from there.
    Clock::time_point lastHeard {};
    int queryLength = 0;   // the whole request last handled
};

// The head of a request whose frame holds all its function needs.
struct ModbusServer::Request {
    std::uint8_t function = 0;
    ModbusTable table = ModbusTable::kNone;
    int start = 0;
    int count = 0;            // items read or written: 1 for a single write
    std::uint16_t value = 0;  // what a single write (function 5 or 6) writes
    const std::uint8_t* pdu = nullptr;
};

ModbusServer::ModbusServer(std::shared_ptr<const GatewayConfig> config, const PointTable& table, WriteQueue& writes)
    : config_(std::move(config)), table_(table), writes_(writes), context_(std::make_unique<Context>()) {
    for (std::size_t i = 0; i < config_->points.size(); ++i) {
        const PointConfig& point = config_->points[i];
        if (point.modbusAddress < 0) continue;
        for (int word = 0; word < ModbusRegisters(point.type); ++word) {
            context_->slots[{point.table, point.modbusAddress + word}] = {i, word};
        }
    }
}

ModbusServer::~ModbusServer() { Stop(); }

bool ModbusServer::Start(std::string* error) {
    const ModbusConfig& settings = config_->modbus;
    context_->modbus = modbus_new_tcp(settings.listen.c_str(), settings.port);
    if (context_->modbus == nullptr) {
        *error = std::string("modbus: ") + modbus_strerror(errno);
        return false;
    }
    listen_ = modbus_tcp_listen(context_->modbus, Backlog(settings.maxClients));
    if (listen_ < 0 || fcntl(listen_, F_SETFL, fcntl(listen_, F_GETFL) | O_NONBLOCK) != 0) {
        *error = "modbus: cannot listen on " + settings.listen + ":" + std::to_string(settings.port) + ": " +
                 modbus_strerror(errno);
        return false;
    }
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    std::string reason;
    outcomes_ = WriteOutcomes::Make(&reason);
    if (!outcomes_) {
        *error = "modbus: " + reason;
        return false;
    }
    Log(LogLevel::kInfo, "modbus: listening on " + settings.listen + ":" + std::to_string(port_));
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void ModbusServer::Stop() {
    stopping_ = true;
    if (outcomes_) outcomes_->Wake();
    if (thread_.joinable()) thread_.join();
    // A client waiting for its write hears how it ended, or 0x0B for one
    // still unanswered, before its connection closes.
    if (outcomes_) FinishWrites();
    for (auto& [id, client] : clients_) {
        if (!client->waiting) continue;
        client->writeFailed = true;
        Answer(*client);
    }
    while (!clients_.empty()) Close(clients_.begin()->first);
    if (listen_ >= 0) close(listen_);
    listen_ = -1;
    // Outcomes still to come find nobody to tell.
    outcomes_.reset();
}

void ModbusServer::Close(std::uint64_t id) {
    const auto found = clients_.find(id);
    if (found == clients_.end()) return;
    close(found->second->fd);
    clients_.erase(found);
    const std::lock_guard<std::mutex> lock(statisticsMutex_);
    statistics_.clients = static_cast<int>(clients_.size());
}

ModbusStatistics ModbusServer::Statistics() const {
    const std::lock_guard<std::mutex> lock(statisticsMutex_);
    return statistics_;
}

void ModbusServer::Accept() {
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
        sockaddr_in peer {};
        socklen_t peerLength = sizeof peer;
        const int fd = accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        if (!LetIn(fd, peer)) continue;
        if (static_cast<int>(clients_.size()) >= config_->modbus.maxClients && !MakeRoom()) {
            ++refused_;
            close(fd);
        } else {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
            setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleS, sizeof kKeepAliveIdleS);
            setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalS, sizeof kKeepAliveIntervalS);
            setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
            auto client = std::make_unique<Client>();
            client->id = nextClient_++;
            client->fd = fd;
            client->lastHeard = Clock::now();
            clients_[client->id] = std::move(client);
            const std::lock_guard<std::mutex> lock(statisticsMutex_);
            statistics_.clients = static_cast<int>(clients_.size());
        }
    }
    const Clock::time_point now = Clock::now();
    if ((evicted_ == 0 && refused_ == 0) || now - lastCrowdLine_ < kCrowdLinePeriod) return;
    Log(LogLevel::kWarning, "modbus: all " + std::to_string(config_->modbus.maxClients) +
                                " client slots taken; since the last such line, closed the longest-idle client for "
                                "a new one: " + std::to_string(evicted_) +
                                ", refused a new one while all waited for writes: " + std::to_string(refused_));
    evicted_ = refused_ = 0;
    lastCrowdLine_ = now;
}

// Closes a client not in the allow-list at once, before reading anything.
bool ModbusServer::LetIn(int fd, const sockaddr_in& peer) {
    if (config_->modbus.allow.Allows(peer.sin_addr)) return true;
    close(fd);
    {
        const std::lock_guard<std::mutex> lock(statisticsMutex_);
        ++statistics_.refusedConnections;
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    refusals_.Refused(address);
    return false;
}

// Closes the longest-idle client for a new one, as gateways commonly do: a
// slot held by a master that crashed or forgot its connection would lock
// everyone out. One waiting for a write keeps its slot.
bool ModbusServer::MakeRoom() {
    const Client* idlest = nullptr;
    for (const auto& [id, client] : clients_) {
        if (!client->waiting && (idlest == nullptr || client->lastHeard < idlest->lastHeard)) idlest = client.get();
    }
    if (idlest == nullptr) return false;
    Close(idlest->id);
    ++evicted_;
    return true;
}

void ModbusServer::Receive(Client& client) {
    // Only what this request still lacks: the head first, then what it says follows.
    const int follows = client.received < kFrameHead ? 0 : Word(client.query + 4);
    const int wanted = (client.received < kFrameHead ? kFrameHead : kFrameHead + follows) - client.received;
    const ssize_t got = recv(client.fd, client.query + client.received, static_cast<std::size_t>(wanted), 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        Close(client.id);
        return;
    }
    if (got < 0) return;
    client.received += static_cast<int>(got);
    client.lastHeard = Clock::now();
    if (client.received == kFrameHead) {
        const int announced = Word(client.query + 4);
        if (Word(client.query + 2) != 0 || announced < kShortestFollow ||
            announced > MODBUS_TCP_MAX_ADU_LENGTH - kFrameHead) {
            Close(client.id);  // not Modbus TCP: nothing in it can be trusted
        }
        return;
    }
    if (client.received < kFrameHead + follows) return;
    client.queryLength = client.received;
    client.received = 0;
    Handle(client);
}

void ModbusServer::Handle(Client& client) {
    const bool refusedWrite = config_->modbus.readOnly && Changes(client.query[kPduAt]);
    {
        const std::lock_guard<std::mutex> lock(statisticsMutex_);
        ++statistics_.requests[client.query[kUnitAt + 1]];
        if (refusedWrite) ++statistics_.refusedWrites;
    }
    if (refusedWrite) return Refuse(client, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    Request request;
    const int refusal = Parse(client, &request);
    if (refusal != 0) return Refuse(client, refusal);
    if (IsRead(request.function)) return ServeRead(client, request);
    QueueWrite(client, request);
}

// Checked in the order the protocol gives: the unit, the function, the
// quantity (0x03), then the address range (0x02). 0 when it can be served,
// the exception code otherwise.
int ModbusServer::Parse(const Client& client, Request* request) const {
    const int unit = client.query[kUnitAt];
    const int wanted = config_->modbus.unitId;
    // A gateway answers for a unit it cannot reach with 0x0B, as it would
    // for a serial device that stays silent, rather than leaving the client to
    // time out.
    if (wanted >= 0 && unit != wanted && unit != kBroadcastUnit) return MODBUS_EXCEPTION_GATEWAY_TARGET;
    const std::uint8_t* pdu = client.query + kPduAt;
    request->pdu = pdu;
    request->function = pdu[0];
    if (!IsRead(request->function) && !IsWrite(request->function)) return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    if (client.queryLength < kPduAt + kAddressAndCount) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    request->start = Word(pdu + 1);
    const bool coils = request->function == kWriteSingleCoil || request->function == kWriteMultipleCoils;
    request->table = IsRead(request->function) ? TableRead(request->function)
                     : coils                   ? ModbusTable::kCoil
                                               : ModbusTable::kHoldingRegister;
    // A single write carries its value where the others carry a count.
    if (request->function == kWriteSingleCoil || request->function == kWriteSingleRegister) {
        request->count = 1;
        request->value = Word(pdu + 3);
        const bool coilValue = request->value == 0xFF00 || request->value == 0;
        return request->function == kWriteSingleRegister || coilValue ? 0 : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    }
    request->count = Word(pdu + 3);
    const bool bits = IsBitTable(request->table);
    const int most = IsRead(request->function) ? (bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS)
                                               : (bits ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS);
    if (request->count < 1 || request->count > most) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    if (IsWrite(request->function)) {
        const int bytes = pdu[5];
        if (bytes != (bits ? (request->count + 7) / 8 : 2 * request->count) ||
            kPduAt + 6 + bytes > client.queryLength) {
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        }
    }
    return request->start + request->count > kAddressSpace ? MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS : 0;
}

void ModbusServer::ServeRead(Client& client, const Request& request) {
    Mapping mapping = MappingFor(request.table, request.start, request.count);
    if (!mapping) return Refuse(client, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    for (int i = 0; i < request.count; ++i) {
        const auto slot = context_->slots.find({request.table, request.start + i});
        if (slot == context_->slots.end()) return Refuse(client, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        const PointConfig& point = config_->points[slot->second.point];
        const PointReading reading = table_.Read(slot->second.point);
        if (reading.quality != Quality::kGood) return Refuse(client, MODBUS_EXCEPTION_GATEWAY_TARGET);
        std::uint16_t words[2] = {};
        RegistersOf(point.type, point.wordOrder, reading.raw, words);
        const std::uint16_t word = words[slot->second.word];
        switch (request.table) {
            case ModbusTable::kCoil: mapping->tab_bits[i] = word & 1u; break;
            case ModbusTable::kDiscreteInput: mapping->tab_input_bits[i] = word & 1u; break;
            case ModbusTable::kHoldingRegister: mapping->tab_registers[i] = word; break;
            default: mapping->tab_input_registers[i] = word; break;
        }
    }
    modbus_set_socket(context_->modbus, client.fd);
    modbus_reply(context_->modbus, client.query, client.queryLength, mapping.get());
}

void ModbusServer::QueueWrite(Client& client, const Request& request) {
    // The written items: coils as 0 and 1, registers as they came.
    const bool coils = request.table == ModbusTable::kCoil;
    const std::uint8_t* pdu = request.pdu;
    std::vector<std::uint16_t> items;
    if (request.function == kWriteSingleCoil || request.function == kWriteSingleRegister) {
        items.push_back(coils ? (request.value != 0 ? 1 : 0) : request.value);
    } else {
        for (int i = 0; i < request.count; ++i) {
            items.push_back(coils ? (pdu[6 + i / 8] >> (i % 8)) & 1 : Word(pdu + 6 + 2 * i));
        }
    }
    // Every point written must be covered whole: half a 32-bit value is not
    // a value.
    std::vector<PendingWrite> pending;
    for (std::size_t i = 0; i < items.size();) {
        const auto slot = context_->slots.find({request.table, request.start + static_cast<int>(i)});
        if (slot == context_->slots.end() || slot->second.word != 0) {
            return Refuse(client, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        }
        const PointConfig& point = config_->points[slot->second.point];
        const std::size_t words = coils ? 1 : static_cast<std::size_t>(ModbusRegisters(point.type));
        if (i + words > items.size()) return Refuse(client, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        const auto raw = coils ? std::optional<std::uint32_t>(items[i])
                               : RawFromRegisters(point.type, point.wordOrder, items.data() + i);
        if (!raw) return Refuse(client, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        pending.push_back({slot->second.point, *raw, {}});
        i += words;
    }
    client.waiting = true;
    client.request = nextRequest_++;
    client.pendingWrites = static_cast<int>(pending.size());
    client.writeFailed = false;
    client.deadline = Clock::now() + std::chrono::milliseconds(config_->line.writeTimeoutMs);
    for (PendingWrite& entry : pending) {
        entry.done = WriteOutcomes::Sink(outcomes_, client.id, client.request);
        writes_.Submit(std::move(entry));
    }
}

// Framed here, not by libmodbus: it adds 0x80 to the function byte, which
// wraps for a function that already has the high bit (0x81 came back as
// 01 01, a plain read-coils reply). A function byte with the high bit set
// only ever means an exception, so such a request is answered with its own
// function byte and 0x01: 81 01 reads as nothing but a refusal.
void ModbusServer::Refuse(const Client& client, int code) const {
    const std::uint8_t* query = client.query;
    const std::uint8_t reply[] = {query[0], query[1], 0, 0, 0, 3, query[kUnitAt],
                                  static_cast<std::uint8_t>(query[kPduAt] | 0x80), static_cast<std::uint8_t>(code)};
    [[maybe_unused]] const ssize_t ignored = send(client.fd, reply, sizeof reply, MSG_NOSIGNAL);
}

void ModbusServer::Answer(Client& client) {
    client.waiting = false;
    client.lastHeard = Clock::now();
    modbus_t* modbus = context_->modbus;
    modbus_set_socket(modbus, client.fd);
    if (client.writeFailed) return Refuse(client, MODBUS_EXCEPTION_GATEWAY_TARGET);
    const std::uint8_t* pdu = client.query + modbus_get_header_length(modbus);
    const bool single = pdu[0] == kWriteSingleCoil || pdu[0] == kWriteSingleRegister;
    const bool coils = pdu[0] == kWriteSingleCoil || pdu[0] == kWriteMultipleCoils;
    // libmodbus frames the acknowledgement; what it stores goes nowhere.
    Mapping mapping = MappingFor(coils ? ModbusTable::kCoil : ModbusTable::kHoldingRegister, Word(pdu + 1),
                                 single ? 1 : Word(pdu + 3));
    if (!mapping) return Refuse(client, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    modbus_reply(modbus, client.query, client.queryLength, mapping.get());
}

void ModbusServer::FinishWrites() {
    for (const WriteOutcomes::Outcome& completion : outcomes_->Take()) {
        const auto found = clients_.find(completion.client);
        if (found == clients_.end()) continue;
        Client& client = *found->second;
        // A completion after the wait ran out belongs to an answered request.
        if (!client.waiting || client.request != completion.request) continue;
        if (!completion.outcome.ok()) client.writeFailed = true;
        if (--client.pendingWrites == 0) Answer(client);
    }
}

// Drops a client stalled half-way through a request, and one silent for the
// idle timeout unless it waits for a write's answer.
void ModbusServer::DropSilentClients() {
    const Clock::time_point now = Clock::now();
    const std::chrono::seconds idle(config_->modbus.idleTimeoutSeconds);
    std::vector<std::uint64_t> silent;
    for (const auto& [id, client] : clients_) {
        const Clock::duration quiet = now - client->lastHeard;
        if (client->received > 0 && quiet > kByteGap) {
            silent.push_back(id);
        } else if (!client->waiting && quiet >= idle) {
            Log(LogLevel::kDebug, "modbus: closing a client idle for " + std::to_string(idle.count()) + " s");
            silent.push_back(id);
        }
    }
    for (const std::uint64_t id : silent) Close(id);
}

void ModbusServer::TimeOutWrites() {
    const Clock::time_point now = Clock::now();
    for (auto& [id, client] : clients_) {
        if (!client->waiting || now < client->deadline) continue;
        client->writeFailed = true;
        Answer(*client);
    }
}

void ModbusServer::Serve() {
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
    const std::chrono::seconds idle(config_->modbus.idleTimeoutSeconds);
    while (!stopping_) {
        fds.assign({{outcomes_->wakeFd(), POLLIN, 0}, {listen_, POLLIN, 0}});
        ids.assign(2, 0);
        Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        for (const auto& [id, client] : clients_) {
            // A client waiting for its write is not read: its next request
            // would overtake the answer.
            fds.push_back({client->fd, static_cast<short>(client->waiting ? 0 : POLLIN), 0});
            ids.push_back(id);
            if (client->waiting) until = std::min(until, client->deadline);
            if (!client->waiting) until = std::min(until, client->lastHeard + idle);
            if (client->received > 0) until = std::min(until, client->lastHeard + kByteGap);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        const int ready = poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait) + 1));
        if (ready < 0 && errno != EINTR) {
            Log(LogLevel::kError, std::string("modbus: poll failed: ") + std::strerror(errno));
            break;
        }
        if (stopping_) break;
        if (ready > 0 && (fds[0].revents & POLLIN) != 0) FinishWrites();
        for (std::size_t i = 2; i < fds.size() && ready > 0; ++i) {
            if (fds[i].revents == 0) continue;
            const auto found = clients_.find(ids[i]);
            if (found == clients_.end()) continue;
            if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0 ||
                ((fds[i].revents & POLLHUP) != 0 && (fds[i].revents & POLLIN) == 0)) {
                Close(ids[i]);
            } else {
                Receive(*found->second);
            }
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) Accept();
        TimeOutWrites();
        DropSilentClients();
    }
}

}  // namespace jwgate
