#include "tools/jwgate/modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/jwgate/log.h"

namespace jwgate {
namespace {

constexpr int kBacklog = 16;
// A client that stops half-way through a request is dropped after this.
constexpr std::chrono::milliseconds kByteGap {200};
// The frame's head: transaction, protocol (0) and the count of the bytes
// that follow it (the unit and the PDU).
constexpr int kFrameHead = 6;
constexpr int kShortestFollow = 2;  // a unit and a function code

enum Function : std::uint8_t {
    kReadCoils = 0x01,
    kReadDiscreteInputs = 0x02,
    kReadHoldingRegisters = 0x03,
    kReadInputRegisters = 0x04,
    kWriteSingleCoil = 0x05,
    kWriteSingleRegister = 0x06,
    kWriteMultipleCoils = 0x0F,
    kWriteMultipleRegisters = 0x10,
};

std::uint16_t Word(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]); }

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
    Clock::time_point lastByte {};
    int queryLength = 0;   // the whole request last handled
};

ModbusServer::ModbusServer(const GatewayConfig& config, const PointTable& table, WriteQueue& writes)
    : config_(config), table_(table), writes_(writes), context_(std::make_unique<Context>()) {
    for (std::size_t i = 0; i < config.points.size(); ++i) {
        const PointConfig& point = config.points[i];
        if (point.modbusAddress < 0) continue;
        for (int word = 0; word < ModbusRegisters(point.type); ++word) {
            context_->slots[{point.table, point.modbusAddress + word}] = {i, word};
        }
    }
}

ModbusServer::~ModbusServer() { Stop(); }

bool ModbusServer::Start(std::string* error) {
    const ModbusConfig& settings = config_.modbus;
    context_->modbus = modbus_new_tcp(settings.listen.c_str(), settings.port);
    if (context_->modbus == nullptr) {
        *error = std::string("modbus: ") + modbus_strerror(errno);
        return false;
    }
    listen_ = modbus_tcp_listen(context_->modbus, kBacklog);
    if (listen_ < 0) {
        *error = "modbus: cannot listen on " + settings.listen + ":" + std::to_string(settings.port) + ": " +
                 modbus_strerror(errno);
        return false;
    }
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = std::string("modbus: ") + std::strerror(errno);
        return false;
    }
    Log(LogLevel::kInfo, "modbus: listening on " + settings.listen + ":" + std::to_string(port_));
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void ModbusServer::Stop() {
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t ignored = write(wake_[1], &byte, 1);
    }
    if (thread_.joinable()) thread_.join();
    while (!clients_.empty()) Close(clients_.begin()->first);
    for (int* fd : {&listen_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void ModbusServer::Close(std::uint64_t id) {
    const auto found = clients_.find(id);
    if (found == clients_.end()) return;
    close(found->second->fd);
    clients_.erase(found);
}

void ModbusServer::Accept() {
    const int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (static_cast<int>(clients_.size()) >= config_.modbus.maxClients) {
        Log(LogLevel::kWarning, "modbus: client refused, " + std::to_string(clients_.size()) + " connected already");
        close(fd);
        return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto client = std::make_unique<Client>();
    client->id = nextClient_++;
    client->fd = fd;
    clients_[client->id] = std::move(client);
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
    client.lastByte = Clock::now();
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
    modbus_t* modbus = context_->modbus;
    modbus_set_socket(modbus, client.fd);
    const int length = client.queryLength;
    const std::uint8_t* pdu = client.query + modbus_get_header_length(modbus);
    const std::uint8_t function = pdu[0];
    const int start = Word(pdu + 1);
    const int count = Word(pdu + 3);
    const auto refuse = [&](int code) { modbus_reply_exception(modbus, client.query, static_cast<unsigned int>(code)); };
    // Every function served has an address and a count (or value) after its code.
    constexpr int kAddressAndCount = 5;
    const bool complete = length >= modbus_get_header_length(modbus) + kAddressAndCount;
    const bool served = (function >= kReadCoils && function <= kWriteSingleRegister) ||
                        function == kWriteMultipleCoils || function == kWriteMultipleRegisters;
    if (served && !complete) {
        return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    }
    switch (function) {
        case kReadCoils:
        case kReadDiscreteInputs:
        case kReadHoldingRegisters:
        case kReadInputRegisters: {
            const ModbusTable table = TableRead(function);
            const int most = IsBitTable(table) ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS;
            if (count < 1 || count > most || start + count > 65536) return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
            Mapping mapping = MappingFor(table, start, count);
            if (!mapping) return refuse(MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
            for (int i = 0; i < count; ++i) {
                const auto slot = context_->slots.find({table, start + i});
                if (slot == context_->slots.end()) return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
                const PointConfig& point = config_.points[slot->second.point];
                const PointReading reading = table_.Read(slot->second.point);
                if (reading.quality != Quality::kGood) return refuse(MODBUS_EXCEPTION_GATEWAY_TARGET);
                std::uint16_t words[2] = {};
                RegistersOf(point.type, point.wordOrder, reading.raw, words);
                const std::uint16_t word = words[slot->second.word];
                switch (table) {
                    case ModbusTable::kCoil: mapping->tab_bits[i] = word & 1u; break;
                    case ModbusTable::kDiscreteInput: mapping->tab_input_bits[i] = word & 1u; break;
                    case ModbusTable::kHoldingRegister: mapping->tab_registers[i] = word; break;
                    default: mapping->tab_input_registers[i] = word; break;
                }
            }
            modbus_reply(modbus, client.query, length, mapping.get());
            return;
        }
        case kWriteSingleCoil:
        case kWriteSingleRegister:
        case kWriteMultipleCoils:
        case kWriteMultipleRegisters:
            break;
        default:
            return refuse(MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }

    // The written items: coils as 0 and 1, registers as they came.
    const bool coils = function == kWriteSingleCoil || function == kWriteMultipleCoils;
    const ModbusTable table = coils ? ModbusTable::kCoil : ModbusTable::kHoldingRegister;
    std::vector<std::uint16_t> items;
    int first = start;
    if (function == kWriteSingleCoil) {
        if (count != 0xFF00 && count != 0) return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        items.push_back(count != 0 ? 1 : 0);
    } else if (function == kWriteSingleRegister) {
        items.push_back(static_cast<std::uint16_t>(count));
    } else {
        const int most = coils ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS;
        const int bytes = pdu[5];
        const int needed = coils ? (count + 7) / 8 : 2 * count;
        const int header = modbus_get_header_length(modbus);
        if (count < 1 || count > most || bytes != needed || header + 6 + bytes > length || start + count > 65536) {
            return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        }
        for (int i = 0; i < count; ++i) {
            items.push_back(coils ? (pdu[6 + i / 8] >> (i % 8)) & 1 : Word(pdu + 6 + 2 * i));
        }
    }
    // Every point written must be covered whole: half a 32-bit value is not
    // a value.
    std::vector<PendingWrite> pending;
    for (std::size_t i = 0; i < items.size();) {
        const auto slot = context_->slots.find({table, first + static_cast<int>(i)});
        if (slot == context_->slots.end() || slot->second.word != 0) return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        const PointConfig& point = config_.points[slot->second.point];
        const std::size_t words = coils ? 1 : static_cast<std::size_t>(ModbusRegisters(point.type));
        if (i + words > items.size()) return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        const auto raw = coils ? std::optional<std::uint32_t>(items[i])
                               : RawFromRegisters(point.type, point.wordOrder, items.data() + i);
        if (!raw) return refuse(MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        pending.push_back({slot->second.point, *raw, {}});
        i += words;
    }
    client.waiting = true;
    client.request = nextRequest_++;
    client.pendingWrites = static_cast<int>(pending.size());
    client.writeFailed = false;
    client.deadline = Clock::now() + std::chrono::milliseconds(config_.modbus.writeTimeoutMs);
    for (PendingWrite& entry : pending) {
        entry.done = [this, id = client.id, request = client.request](WriteOutcome outcome) {
            {
                const std::lock_guard<std::mutex> lock(completionsMutex_);
                completions_.push_back({id, request, outcome});
            }
            const char byte = 1;
            [[maybe_unused]] const ssize_t ignored = ::write(wake_[1], &byte, 1);
        };
        writes_.Submit(std::move(entry));
    }
}

void ModbusServer::Answer(Client& client) {
    client.waiting = false;
    modbus_t* modbus = context_->modbus;
    modbus_set_socket(modbus, client.fd);
    if (client.writeFailed) {
        modbus_reply_exception(modbus, client.query, MODBUS_EXCEPTION_GATEWAY_TARGET);
        return;
    }
    const std::uint8_t* pdu = client.query + modbus_get_header_length(modbus);
    const bool single = pdu[0] == kWriteSingleCoil || pdu[0] == kWriteSingleRegister;
    const bool coils = pdu[0] == kWriteSingleCoil || pdu[0] == kWriteMultipleCoils;
    // libmodbus frames the acknowledgement; what it stores goes nowhere.
    Mapping mapping = MappingFor(coils ? ModbusTable::kCoil : ModbusTable::kHoldingRegister, Word(pdu + 1),
                                 single ? 1 : Word(pdu + 3));
    if (!mapping) {
        modbus_reply_exception(modbus, client.query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
        return;
    }
    modbus_reply(modbus, client.query, client.queryLength, mapping.get());
}

void ModbusServer::FinishWrites() {
    char drain[64];
    while (read(wake_[0], drain, sizeof drain) > 0) {
    }
    std::vector<Completion> done;
    {
        const std::lock_guard<std::mutex> lock(completionsMutex_);
        done.swap(completions_);
    }
    for (const Completion& completion : done) {
        const auto found = clients_.find(completion.client);
        if (found == clients_.end()) continue;
        Client& client = *found->second;
        // A completion after the wait ran out belongs to an answered request.
        if (!client.waiting || client.request != completion.request) continue;
        if (completion.outcome == WriteOutcome::kFailed) client.writeFailed = true;
        if (--client.pendingWrites == 0) Answer(client);
    }
}

void ModbusServer::DropSilentClients() {
    const Clock::time_point now = Clock::now();
    std::vector<std::uint64_t> silent;
    for (const auto& [id, client] : clients_) {
        if (client->received > 0 && now - client->lastByte > kByteGap) silent.push_back(id);
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
    while (!stopping_) {
        fds.assign({{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}});
        ids.assign(2, 0);
        Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        for (const auto& [id, client] : clients_) {
            // A client waiting for its write is not read: its next request
            // would overtake the answer.
            fds.push_back({client->fd, static_cast<short>(client->waiting ? 0 : POLLIN), 0});
            ids.push_back(id);
            if (client->waiting) until = std::min(until, client->deadline);
            if (client->received > 0) until = std::min(until, client->lastByte + kByteGap);
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
