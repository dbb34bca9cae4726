// unit_server.exe: serves simulated programming units to Windows programs under Wine.
//
// Each plugged device is a message-mode named pipe \\.\pipe\zirvano-sim-<name> (another stem
// when ZIRVANO_SIM_PIPES names one, see sim_control.h): one message written by the client is one
// output report, answered by one message of the device's input report length (unless a fault
// keeps the unit silent or makes it vanish). The substitute setupapi.dll and hid.dll ask this
// server, over \\.\pipe\zirvano-sim-control, which devices are present and what they announce.
// The control commands are listed in sim_control.h.
//
// Usage: unit_server.exe ["plug a pid=2 escver=0302" ...]
// Runs each argument as a control command, prints "ready" once the control pipe listens and
// serves until the "quit" command.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "link/bytes.h"
#include "link/programmer_link.h"
#include "sim/unit_model.h"
#include "sim/win/sim_control.h"

namespace {

enum class CapsMode { ok, fail, status };
enum class DetailMode { ok, shortSize, fail };

struct PipeDevice {
    std::string name;
    std::wstring path;
    std::uint16_t vendorId = 0xF0E1;
    std::uint16_t productId = 2;
    CapsMode caps = CapsMode::ok;
    DetailMode detail = DetailMode::ok;
    bool openable = true;
    SimUnit unit;
    bool present = true;
    std::uint32_t opens = 0;
    HANDLE stop = nullptr;  // set when the device is unplugged or vanishes
    // An answer kept back until `release` (the unit's holds say which).
    bool holding = false;
    HANDLE released = nullptr;    // set by `release`
    HANDLE held = nullptr;        // set while an answer is kept back
    std::vector<HANDLE> threads;  // the listener first, then one per connection
};

struct Server {
    SRWLOCK lock = SRWLOCK_INIT;
    std::vector<PipeDevice*> devices;  // plug order; unplugged ones stay queryable
    // Replaced devices are kept: a thread that outlived its join bound may still touch one.
    std::vector<std::unique_ptr<PipeDevice>> owned;
    HANDLE quit = nullptr;
};

Server server;

struct Locked {
    Locked() { AcquireSRWLockExclusive(&server.lock); }
    ~Locked() { ReleaseSRWLockExclusive(&server.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

constexpr DWORD kReportMessageMax = 4096;
constexpr std::uint32_t kAnswerMax = 256;  // the unit model's largest answer
// What an overlong answer carries past the input report.
constexpr DWORD kControlBufferSize = 65536;
constexpr DWORD kJoinBoundMs = 5000;
constexpr std::size_t kNameMax = 64;
constexpr DWORD kFlashFileMax = 16u << 20;
constexpr std::uint8_t kBootIdentityPattern[12] = {0x01, 0x34, 0x12, 0x78, 0x56, 0x34,
                                                   0x12, 0xEF, 0xCD, 0xAB, 0x89, 0x5A};

// ---- device pipes

struct Event {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Event() {
        if (handle != nullptr) CloseHandle(handle);
    }
    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
};

// A report the unit sends at a moment of its own (a late duplicate), written while the next
// request is awaited.
struct DueReport {
    bool pending = false;
    ULONGLONG dueAtMs = 0;
    std::uint8_t bytes[kAnswerMax] = {};
    DWORD length = 0;
    HANDLE writeEvent = nullptr;  // the read's event is in use meanwhile
};

bool writeMessage(HANDLE pipe, HANDLE stop, HANDLE event, const std::uint8_t* data, DWORD length);

// Waits for an overlapped operation or the stop event, sending `due` when its moment comes.
// False when stopped (the operation is cancelled and finished) or when the operation failed;
// *error says which.
bool awaitIo(HANDLE pipe, OVERLAPPED* ov, HANDLE stop, DWORD* transferred, DWORD* error,
             DueReport* due = nullptr) {
    HANDLE waits[2] = {ov->hEvent, stop};
    for (;;) {
        DWORD waitMs = INFINITE;
        if (due != nullptr && due->pending) {
            const ULONGLONG now = GetTickCount64();
            waitMs = due->dueAtMs > now ? static_cast<DWORD>(due->dueAtMs - now) : 0;
        }
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, waitMs);
        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_TIMEOUT) {
            due->pending = false;
            if (writeMessage(pipe, stop, due->writeEvent, due->bytes, due->length)) continue;
        }
        CancelIoEx(pipe, ov);
        GetOverlappedResult(pipe, ov, transferred, TRUE);
        *error = ERROR_OPERATION_ABORTED;
        return false;
    }
    if (GetOverlappedResult(pipe, ov, transferred, FALSE)) return true;
    *error = GetLastError();
    return false;
}

bool startedOrPending(BOOL started) { return started || GetLastError() == ERROR_IO_PENDING; }

// Reads one whole message; the part past `capacity` is read and dropped. `due` goes out
// meanwhile when its moment comes.
bool readMessage(HANDLE pipe, HANDLE stop, HANDLE event, std::uint8_t* buffer, DWORD capacity,
                 DWORD* length, DueReport* due) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD error = 0;
    DWORD got = 0;
    BOOL started = ReadFile(pipe, buffer, capacity, nullptr, &ov);
    if (!startedOrPending(started) && GetLastError() != ERROR_MORE_DATA) return false;
    bool whole = awaitIo(pipe, &ov, stop, &got, &error, due);
    *length = got;
    while (!whole && error == ERROR_MORE_DATA) {
        std::uint8_t rest[kReportMessageMax];
        ov = OVERLAPPED{};
        ov.hEvent = event;
        started = ReadFile(pipe, rest, sizeof rest, nullptr, &ov);
        if (!startedOrPending(started) && GetLastError() != ERROR_MORE_DATA) return false;
        whole = awaitIo(pipe, &ov, stop, &got, &error, due);
    }
    return whole;
}

bool writeMessage(HANDLE pipe, HANDLE stop, HANDLE event, const std::uint8_t* data, DWORD length) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    if (!startedOrPending(WriteFile(pipe, data, length, nullptr, &ov))) return false;
    DWORD written = 0;
    DWORD error = 0;
    return awaitIo(pipe, &ov, stop, &written, &error) && written == length;
}

struct Session {
    PipeDevice* device;
    HANDLE pipe;
};

// The unit keeps the answers to the request just handled back: the test's `awaithold` sees it.
void markHeld(PipeDevice& device) {
    device.holding = true;
    ResetEvent(device.released);
    SetEvent(device.held);
}

// Keeps the answer back until `release` or until the device goes; false when it went.
bool awaitRelease(PipeDevice& device) {
    HANDLE waits[2] = {device.released, device.stop};
    const bool released = WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
    Locked locked;
    device.holding = false;
    ResetEvent(device.held);
    return released;
}

// Writes what the unit sends for a request: each answer when it is due. A late answer waits past
// any bound the client keeps, unless the device goes first; a late unasked report goes out while
// the next request is awaited, and one still on its way is overtaken by the next.
bool sendDeliveries(PipeDevice& device, HANDLE pipe, HANDLE event,
                    const std::vector<SimDelivery>& deliveries, ULONGLONG requestedAtMs,
                    DueReport* due) {
    for (const SimDelivery& delivery : deliveries) {
        if (delivery.afterMs != 0 && delivery.answers == kSimUnasked) {
            due->pending = true;
            due->dueAtMs = requestedAtMs + delivery.afterMs;
            due->length =
                static_cast<DWORD>(std::min<std::size_t>(delivery.bytes.size(), kAnswerMax));
            std::memcpy(due->bytes, delivery.bytes.data(), due->length);
            continue;
        }
        if (delivery.afterMs != 0 &&
            WaitForSingleObject(device.stop, delivery.afterMs) != WAIT_TIMEOUT)
            return false;
        if (!writeMessage(pipe, device.stop, event, delivery.bytes.data(),
                          static_cast<DWORD>(delivery.bytes.size())))
            return false;
        if (delivery.answers == kSimUnasked) continue;
        Locked locked;
        if (delivery.answers < device.unit.received.size())
            device.unit.received[delivery.answers].readAtMs = GetTickCount64();
    }
    return true;
}

DWORD WINAPI serveConnection(void* context) {
    std::unique_ptr<Session> session(static_cast<Session*>(context));
    PipeDevice& device = *session->device;
    HANDLE pipe = session->pipe;
    // Events for the session's transfers, made once: this loop runs for every report.
    Event event;
    Event dueEvent;
    DueReport due;
    due.writeEvent = dueEvent.handle;
    for (;;) {
        std::uint8_t request[kReportMessageMax];
        DWORD length = 0;
        if (!readMessage(pipe, device.stop, event.handle, request, sizeof request, &length, &due))
            break;
        const ULONGLONG requestedAtMs = GetTickCount64();
        SimExchange exchange{};
        {
            Locked locked;
            if (!device.present) break;
            exchange = simUnitExchange(device.unit, request, length, requestedAtMs);
            // The unit vanishes like a pulled plug: off the list, every handle broken.
            if (exchange.vanished) {
                device.present = false;
                SetEvent(device.stop);
            }
            if (exchange.held) markHeld(device);
        }
        if (!exchange.taken || exchange.vanished) break;
        if (exchange.held && !awaitRelease(device)) break;
        if (!sendDeliveries(device, pipe, event.handle, exchange.deliveries, requestedAtMs, &due))
            break;
    }
    CloseHandle(pipe);
    return 0;
}

HANDLE createDeviceInstance(const PipeDevice& device) {
    return CreateNamedPipeW(device.path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kReportMessageMax, kReportMessageMax, 0,
                            nullptr);
}

// Instances listening at once. Each client gets its own instance and thread; while the one just
// taken is being replaced, the other still takes an open, so a new open never finds the pipe
// busy, as it never finds a HID device busy.
constexpr int kListeningInstances = 2;

struct Listener {
    PipeDevice* device;
    // Created by `plug`, so that the path opens as soon as it is listed, and opens again at once
    // while the listener has yet to see the first.
    HANDLE instances[kListeningInstances];
};

struct Listening {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    Event connected;
    OVERLAPPED ov{};
    bool connectedAtOnce = false;
};

// Starts waiting for a client on the slot's instance; its event is set once one is there.
void listen(Listening& slot) {
    slot.ov = OVERLAPPED{};
    slot.ov.hEvent = slot.connected.handle;
    ResetEvent(slot.connected.handle);
    slot.connectedAtOnce = false;
    if (ConnectNamedPipe(slot.pipe, &slot.ov) || GetLastError() == ERROR_IO_PENDING) return;
    // A client that came between the instance's creation and this call; or a failure, which
    // the wake-up finds out.
    slot.connectedAtOnce = GetLastError() == ERROR_PIPE_CONNECTED;
    SetEvent(slot.connected.handle);
}

void stopListening(Listening& slot) {
    if (slot.pipe == INVALID_HANDLE_VALUE) return;
    DWORD ignored = 0;
    if (CancelIoEx(slot.pipe, &slot.ov)) GetOverlappedResult(slot.pipe, &slot.ov, &ignored, TRUE);
    CloseHandle(slot.pipe);
    slot.pipe = INVALID_HANDLE_VALUE;
}

// Serves a connected instance on a thread of its own.
void serve(PipeDevice& device, HANDLE pipe) {
    Locked locked;
    ++device.opens;
    auto* session = new Session{&device, pipe};
    HANDLE thread = CreateThread(nullptr, 0, serveConnection, session, 0, nullptr);
    if (thread != nullptr) {
        device.threads.push_back(thread);
    } else {
        delete session;
        CloseHandle(pipe);
    }
}

DWORD WINAPI listenForDevice(void* context) {
    std::unique_ptr<Listener> listener(static_cast<Listener*>(context));
    PipeDevice& device = *listener->device;
    Listening slots[kListeningInstances];
    for (int i = 0; i < kListeningInstances; ++i) {
        slots[i].pipe = listener->instances[i];
        listen(slots[i]);
    }
    DWORD result = 0;
    for (;;) {
        HANDLE waits[kListeningInstances + 1];
        for (int i = 0; i < kListeningInstances; ++i) waits[i] = slots[i].connected.handle;
        waits[kListeningInstances] = device.stop;
        const DWORD woke = WaitForMultipleObjects(kListeningInstances + 1, waits, FALSE, INFINITE);
        if (woke >= WAIT_OBJECT_0 + kListeningInstances ||
            WaitForSingleObject(device.stop, 0) == WAIT_OBJECT_0)
            break;
        Listening& slot = slots[woke - WAIT_OBJECT_0];
        DWORD ignored = 0;
        const bool connected =
            slot.connectedAtOnce || GetOverlappedResult(slot.pipe, &slot.ov, &ignored, FALSE);
        const HANDLE taken = slot.pipe;
        // The replacement before the connection is served: were the served one closed first,
        // the path would vanish for a moment and an open would fail.
        slot.pipe = createDeviceInstance(device);
        if (connected)
            serve(device, taken);
        else
            CloseHandle(taken);
        if (slot.pipe == INVALID_HANDLE_VALUE) {
            result = 1;
            break;
        }
        listen(slot);
    }
    for (Listening& slot : slots) stopListening(slot);
    return result;
}

// Takes the device off the list and waits for its threads, so that a device plugged again
// under the same name never meets a stale pipe instance.
void unplugDevice(PipeDevice& device) {
    HANDLE listener = nullptr;
    {
        Locked locked;
        device.present = false;
        SetEvent(device.stop);
        if (!device.threads.empty()) listener = device.threads.front();
    }
    if (listener != nullptr) WaitForSingleObject(listener, kJoinBoundMs);
    std::vector<HANDLE> threads;
    {
        Locked locked;
        threads.swap(device.threads);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, kJoinBoundMs);
        CloseHandle(thread);
    }
}

// ---- control commands

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        if (end > at) words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

bool parseNumber(const std::string& text, int base, std::uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, base);
    if (end == nullptr || *end != '\0' || parsed > 0xFFFFFFFFul) return false;
    *value = static_cast<std::uint32_t>(parsed);
    return true;
}

std::string hexString(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, static_cast<unsigned>(value));
    return text;
}

bool validName(const std::string& name) {
    if (name.empty() || name.size() > kNameMax || name == "control") return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_'))
            return false;
    return true;
}

PipeDevice* findDevice(const std::string& nameOrPath) {
    const std::wstring asPath = simFromUtf8(nameOrPath);
    for (auto it = server.devices.rbegin(); it != server.devices.rend(); ++it)
        if ((*it)->name == nameOrPath || lstrcmpiW((*it)->path.c_str(), asPath.c_str()) == 0)
            return *it;
    return nullptr;
}

std::string pathText(const PipeDevice& device) { return simToUtf8(device.path); }

std::uint32_t escTypeOf(const SimUnit& unit) { return readU32(unit.escBootInfo); }
std::uint32_t escBootloaderVersionOf(const SimUnit& unit) { return readU32(unit.escBootInfo + 4); }

// Applies one key=value option of `plug` to the device being built.
bool applyPlugOption(PipeDevice& device, const std::string& option, std::string* why) {
    const std::size_t equals = option.find('=');
    if (equals == std::string::npos) {
        *why = "expected key=value: " + option;
        return false;
    }
    const std::string key = option.substr(0, equals);
    const std::string value = option.substr(equals + 1);
    std::uint32_t number = 0;
    SimUnit& unit = device.unit;
    if (key == "vid" && parseNumber(value, 16, &number) && number <= 0xFFFF) {
        device.vendorId = static_cast<std::uint16_t>(number);
    } else if (key == "pid" && parseNumber(value, 16, &number) && number <= 0xFFFF) {
        device.productId = static_cast<std::uint16_t>(number);
        unit.productId = device.productId;
    } else if (key == "mode" && (value == "app" || value == "boot")) {
        unit.inBootloader = value == "boot";
    } else if (key == "esc" && parseNumber(value, 10, &number) && number <= 0xFFFF) {
        unit.escState = static_cast<std::uint16_t>(number);
    } else if (key == "escver" && parseNumber(value, 16, &number) && number <= 0xFFFF) {
        simSetEscFirmwareVersion(unit, static_cast<std::uint16_t>(number));
    } else if (key == "type" && parseNumber(value, 16, &number)) {
        simSetEscType(unit, number, escBootloaderVersionOf(unit));
    } else if (key == "bootver" && parseNumber(value, 16, &number)) {
        simSetEscType(unit, escTypeOf(unit), number);
    } else if (key == "unitver" && parseNumber(value, 16, &number)) {
        unit.unitFirmwareVersion = number;
    } else if (key == "caps" && (value == "ok" || value == "fail" || value == "status")) {
        device.caps = value == "ok"     ? CapsMode::ok
                      : value == "fail" ? CapsMode::fail
                                        : CapsMode::status;
        unit.capabilitiesFail = device.caps != CapsMode::ok;
    } else if ((key == "outlen" || key == "inlen") && parseNumber(value, 10, &number) &&
               number <= kAnswerMax) {
        (key == "outlen" ? unit.outputReportLength : unit.inputReportLength) = number;
    } else if (key == "open" && (value == "ok" || value == "fail")) {
        device.openable = value == "ok";
    } else if (key == "detail" && (value == "ok" || value == "short" || value == "fail")) {
        device.detail = value == "ok"      ? DetailMode::ok
                        : value == "short" ? DetailMode::shortSize
                                           : DetailMode::fail;
    } else {
        *why = "bad option: " + option;
        return false;
    }
    return true;
}

std::string plugCommand(const std::vector<std::string>& words) {
    if (words.size() < 2 || !validName(words[1])) return "error usage: plug <name> [key=value...]";
    auto device = std::make_unique<PipeDevice>();
    device->name = words[1];
    device->path = simPipePrefix() + simFromUtf8(words[1]);
    device->unit = simReadyUnit();
    std::memcpy(device->unit.bootIdentity, kBootIdentityPattern, sizeof kBootIdentityPattern);
    for (std::size_t i = 2; i < words.size(); ++i) {
        std::string why;
        if (!applyPlugOption(*device, words[i], &why)) return "error " + why;
    }
    PipeDevice* previous = nullptr;
    {
        Locked locked;
        previous = findDevice(device->name);
    }
    if (previous != nullptr) unplugDevice(*previous);
    device->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    device->released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    device->held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PipeDevice* added = device.get();
    Locked locked;
    for (auto it = server.devices.begin(); it != server.devices.end(); ++it)
        if (*it == previous) {
            server.devices.erase(it);
            break;
        }
    server.owned.push_back(std::move(device));
    server.devices.push_back(added);
    // A device whose path cannot be opened simply has no pipe behind its listed path.
    if (added->openable) {
        auto* context = new Listener{added, {}};
        bool created = true;
        for (HANDLE& instance : context->instances) {
            instance = createDeviceInstance(*added);
            created = created && instance != INVALID_HANDLE_VALUE;
        }
        HANDLE listener =
            created ? CreateThread(nullptr, 0, listenForDevice, context, 0, nullptr) : nullptr;
        if (listener == nullptr) {
            for (HANDLE instance : context->instances)
                if (instance != INVALID_HANDLE_VALUE) CloseHandle(instance);
            delete context;
            return created ? "error cannot start the device thread"
                           : "error cannot create the device pipe";
        }
        added->threads.push_back(listener);
    }
    return "ok " + pathText(*added);
}

std::string unplugCommand(const std::vector<std::string>& words) {
    if (words.size() != 2) return "error usage: unplug <name>";
    PipeDevice* device = nullptr;
    {
        Locked locked;
        device = findDevice(words[1]);
    }
    if (device == nullptr) return "error no device " + words[1];
    unplugDevice(*device);
    return "ok " + pathText(*device);
}

std::string resetCommand() {
    std::vector<PipeDevice*> devices;
    {
        Locked locked;
        devices.swap(server.devices);
    }
    for (PipeDevice* device : devices) unplugDevice(*device);
    return "ok";
}

std::string faultCommand(const std::vector<std::string>& words) {
    // The code is hex where it is an error code, decimal where it counts milliseconds or bytes.
    static const struct {
        const char* name;
        SimFaultKind kind;
        int codeBase;
    } kinds[] = {{"error", SimFaultKind::errorAnswer, 16},
                 {"refusal", SimFaultKind::refusal, 16},
                 {"noanswer", SimFaultKind::noAnswer, 16},
                 {"disconnect", SimFaultKind::disconnect, 16},
                 {"malformed", SimFaultKind::malformed, 16},
                 {"garbled", SimFaultKind::garbled, 16},
                 {"twice", SimFaultKind::answerTwice, 16},
                 {"unasked", SimFaultKind::unasked, 16},
                 {"late", SimFaultKind::lateAnswer, 16},
                 {"vanish", SimFaultKind::vanishBeforeAnswer, 16},
                 {"duplicatelate", SimFaultKind::duplicateLate, 10},
                 {"cut", SimFaultKind::cutShort, 10},
                 {"overlong", SimFaultKind::overlong, 16}};
    SimFault fault{};
    std::uint32_t command = 0;
    int codeBase = 0;
    if (words.size() == 5 || words.size() == 6) {
        for (const auto& entry : kinds)
            if (words[4] == entry.name) {
                fault.kind = entry.kind;
                codeBase = entry.codeBase;
            }
    }
    if (codeBase == 0 || !parseNumber(words[2], 16, &command) || command > 0xFF ||
        !parseNumber(words[3], 10, &fault.occurrence) ||
        (words.size() == 6 && !parseNumber(words[5], codeBase, &fault.code)))
        return "error usage: fault <name> <command-hex> <occurrence> "
               "<error|refusal|noanswer|disconnect|malformed|garbled|twice|unasked|late|vanish|"
               "duplicatelate|cut|overlong> [code]";
    fault.command = static_cast<std::uint8_t>(command);
    Locked locked;
    PipeDevice* device = findDevice(words[1]);
    if (device == nullptr) return "error no device " + words[1];
    device->unit.faults.push_back(fault);
    return "ok";
}

// Applies one word of `swapesc` to the ESC being built.
bool applyEscOption(SimEsc& esc, const std::string& option) {
    if (option == "none") {
        esc = simNoEsc();
        return true;
    }
    const std::size_t equals = option.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = option.substr(0, equals);
    const std::string value = option.substr(equals + 1);
    std::uint32_t number = 0;
    if (key == "esc" && parseNumber(value, 10, &number) && number <= 0xFFFF) {
        esc.state = static_cast<std::uint16_t>(number);
    } else if (key == "escver" && parseNumber(value, 16, &number) && number <= 0xFFFF) {
        writeU16(esc.info + kEscFirmwareVersionOffset, static_cast<std::uint16_t>(number));
    } else if (key == "type" && parseNumber(value, 16, &number)) {
        writeU32(esc.bootInfo + kEscTypeIdOffset, number);
    } else if (key == "bootver" && parseNumber(value, 16, &number)) {
        writeU32(esc.bootInfo + kEscBootloaderVersionOffset, number);
    } else {
        return false;
    }
    return true;
}

// "now" or "<command-hex>:<occurrence>".
bool parseMoment(const std::string& text, SimFault* fault, bool* now) {
    *now = text == "now";
    if (*now) return true;
    const std::size_t colon = text.find(':');
    std::uint32_t command = 0;
    if (colon == std::string::npos || !parseNumber(text.substr(0, colon), 16, &command) ||
        command > 0xFF || !parseNumber(text.substr(colon + 1), 10, &fault->occurrence) ||
        fault->occurrence == 0)
        return false;
    fault->command = static_cast<std::uint8_t>(command);
    fault->kind = SimFaultKind::swapEsc;
    return true;
}

std::string swapEscCommand(const std::vector<std::string>& words) {
    const std::string usage =
        "error usage: swapesc <name> <now|command-hex:occurrence> [none] [esc=3] "
        "[escver=0302] [type=111F403C] [bootver=02000105]";
    SimFault fault{};
    bool now = false;
    if (words.size() < 3 || !parseMoment(words[2], &fault, &now)) return usage;
    SimEsc esc = simReadyEsc();
    for (std::size_t i = 3; i < words.size(); ++i)
        if (!applyEscOption(esc, words[i])) return usage + " (bad option " + words[i] + ")";
    Locked locked;
    PipeDevice* device = findDevice(words[1]);
    if (device == nullptr) return "error no device " + words[1];
    if (now) {
        simConnectEsc(device->unit, esc);
    } else {
        device->unit.swapTo = esc;
        device->unit.faults.push_back(fault);
    }
    return "ok";
}

std::string holdCommand(const std::vector<std::string>& words) {
    std::uint32_t command = 0;
    SimHold hold{};
    if (words.size() != 4 || !parseNumber(words[2], 16, &command) || command > 0xFF ||
        !parseNumber(words[3], 10, &hold.occurrence) || hold.occurrence == 0)
        return "error usage: hold <name> <command-hex> <occurrence>";
    hold.command = static_cast<std::uint8_t>(command);
    Locked locked;
    PipeDevice* device = findDevice(words[1]);
    if (device == nullptr) return "error no device " + words[1];
    device->unit.holds.push_back(hold);
    return "ok";
}

std::string awaitHoldCommand(const std::vector<std::string>& words) {
    std::uint32_t boundMs = 0;
    if (words.size() != 3 || !parseNumber(words[2], 10, &boundMs))
        return "error usage: awaithold <name> <ms>";
    HANDLE held = nullptr;
    {
        Locked locked;
        PipeDevice* device = findDevice(words[1]);
        if (device == nullptr) return "error no device " + words[1];
        held = device->held;
    }
    // Devices are never freed while the server runs, so the event outlives this wait.
    return WaitForSingleObject(held, boundMs) == WAIT_OBJECT_0 ? "ok" : "error nothing held";
}

std::string releaseCommand(const std::vector<std::string>& words) {
    if (words.size() != 2) return "error usage: release <name>";
    Locked locked;
    PipeDevice* device = findDevice(words[1]);
    if (device == nullptr) return "error no device " + words[1];
    if (!device->holding) return "error nothing held";
    SetEvent(device->released);
    return "ok";
}

std::string listCommand() {
    std::string out;
    Locked locked;
    for (const PipeDevice* device : server.devices) {
        if (!device->present) continue;
        if (!out.empty()) out += '\n';
        out += pathText(*device);
        if (device->detail == DetailMode::shortSize) out += " detail=short";
        if (device->detail == DetailMode::fail) out += " detail=fail";
    }
    return out;
}

// What `info` says for a device without a USB serial number.
const std::string kNoSerialNumber = "-";

std::string infoCommand(const PipeDevice& device) {
    const char* caps = device.caps == CapsMode::ok     ? "ok"
                       : device.caps == CapsMode::fail ? "fail"
                                                       : "status";
    return hexString(device.vendorId, 4) + " " + hexString(device.productId, 4) + " " +
           std::to_string(device.unit.outputReportLength) + " " +
           std::to_string(device.unit.inputReportLength) + " " + caps + " " +
           (device.unit.serialNumber.empty() ? kNoSerialNumber : device.unit.serialNumber);
}

std::string commandsCommand(const SimUnit& unit) {
    std::string out;
    if (unit.received.empty()) return out;
    const std::uint64_t base = unit.received.front().writtenAtMs;
    for (const SimReceived& report : unit.received) {
        if (!out.empty()) out += '\n';
        out += hexString(report.bytes.size() > 1 ? report.bytes[1] : 0, 2) + " " +
               std::to_string(report.writtenAtMs - base) + " " +
               (report.readAtMs != 0 ? std::to_string(report.readAtMs - base) : "-");
    }
    return out;
}

std::string flashHex(const SimUnit& unit) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(unit.flash.size() * 2);
    for (std::uint8_t byte : unit.flash) {
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
    return out;
}

std::string flashSum(const SimUnit& unit) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (std::uint8_t byte : unit.flash) hash = (hash ^ byte) * 16777619u;
    return std::to_string(unit.flash.size()) + " " + hexString(hash, 8);
}

bool readWholeFile(const std::wstring& path, std::vector<std::uint8_t>* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kFlashFileMax;
    if (ok) {
        bytes->resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes->empty() ||
             (ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) &&
              read == bytes->size());
    }
    CloseHandle(file);
    return ok;
}

std::string flashCompare(const SimUnit& unit, const std::vector<std::uint8_t>& expected) {
    const std::size_t common =
        unit.flash.size() < expected.size() ? unit.flash.size() : expected.size();
    for (std::size_t i = 0; i < common; ++i)
        if (unit.flash[i] != expected[i]) return "differ at " + std::to_string(i);
    if (unit.flash.size() != expected.size()) return "differ at " + std::to_string(common);
    return "equal";
}

std::string stateCommand(const PipeDevice& device) {
    const SimUnit& unit = device.unit;
    return "locked=" + std::to_string(unit.locked) +
           " writeProtected=" + std::to_string(unit.writeProtected) +
           " erased=" + std::to_string(unit.erased) +
           " addressSet=" + std::to_string(unit.addressSet) +
           " flash=" + std::to_string(unit.flash.size()) +
           " reports=" + std::to_string(unit.received.size()) +
           " opens=" + std::to_string(device.opens) + " present=" + std::to_string(device.present) +
           " holding=" + std::to_string(device.holding);
}

// Commands that read one device by name: answered under the lock from its current state.
std::string queryCommand(const std::vector<std::string>& words, const std::string& line) {
    const std::string& verb = words[0];
    std::string file;
    if (verb == "flashcmp") {
        // The file path is the rest of the line and may hold spaces.
        const std::size_t nameAt = line.find(words[1], line.find(verb) + verb.size());
        std::size_t at = nameAt + words[1].size();
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        file = line.substr(at);
        if (file.empty()) return "error usage: flashcmp <name> <file>";
    } else if (words.size() != 2) {
        return "error usage: " + verb + " <name>";
    }
    std::vector<std::uint8_t> expected;
    if (verb == "flashcmp" && !readWholeFile(simFromUtf8(file), &expected))
        return "error cannot read " + file;
    Locked locked;
    PipeDevice* device = findDevice(words[1]);
    if (device == nullptr) return "error no device " + words[1];
    if (verb == "info") return device->present ? infoCommand(*device) : "error gone";
    if (verb == "commands") return commandsCommand(device->unit);
    if (verb == "flash") return flashHex(device->unit);
    if (verb == "flashsum") return flashSum(device->unit);
    if (verb == "flashcmp") return flashCompare(device->unit, expected);
    return stateCommand(*device);
}

std::string runCommand(const std::string& line) {
    const std::vector<std::string> words = splitWords(line);
    if (words.empty()) return "error empty command";
    const std::string& verb = words[0];
    if (verb == "plug") return plugCommand(words);
    if (verb == "unplug") return unplugCommand(words);
    if (verb == "reset" && words.size() == 1) return resetCommand();
    if (verb == "fault") return faultCommand(words);
    if (verb == "swapesc") return swapEscCommand(words);
    if (verb == "hold") return holdCommand(words);
    if (verb == "awaithold") return awaitHoldCommand(words);
    if (verb == "release") return releaseCommand(words);
    if (verb == "list" && words.size() == 1) return listCommand();
    if (words.size() >= 2 && (verb == "info" || verb == "commands" || verb == "flash" ||
                              verb == "flashsum" || verb == "flashcmp" || verb == "state"))
        return queryCommand(words, line);
    if (verb == "quit" && words.size() == 1) return "ok";
    return "error unknown command: " + line;
}

// ---- control pipe

HANDLE createControlInstance(DWORD firstFlag = 0) {
    return CreateNamedPipeW(simControlPipe().c_str(), PIPE_ACCESS_DUPLEX | firstFlag,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, kControlBufferSize, kControlBufferSize, 0,
                            nullptr);
}

bool readControlMessage(HANDLE pipe, std::string* message) {
    message->clear();
    for (;;) {
        char chunk[4096];
        DWORD read = 0;
        const BOOL done = ReadFile(pipe, chunk, sizeof chunk, &read, nullptr);
        message->append(chunk, read);
        if (done) return true;
        if (GetLastError() != ERROR_MORE_DATA || message->size() > kControlBufferSize) return false;
    }
}

DWORD WINAPI serveControlConnection(void* context) {
    HANDLE pipe = context;
    std::string command;
    while (readControlMessage(pipe, &command)) {
        const std::string reply = runCommand(command);
        DWORD written = 0;
        if (!WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr))
            break;
        if (splitWords(command) == std::vector<std::string>{"quit"}) {
            // Closing the pipe before the client read the reply would discard it.
            FlushFileBuffers(pipe);
            SetEvent(server.quit);
            break;
        }
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    return 0;
}

DWORD WINAPI listenForControl(void* context) {
    HANDLE pipe = context;
    for (;;) {
        const bool connected =
            ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        // The next instance before the connection is served: were the served one closed first,
        // the pipe's name would vanish for a moment and a client would take the server for gone.
        HANDLE next = createControlInstance();
        HANDLE thread = connected
                            ? CreateThread(nullptr, 0, serveControlConnection, pipe, 0, nullptr)
                            : nullptr;
        if (thread != nullptr)
            CloseHandle(thread);
        else
            CloseHandle(pipe);
        if (next == INVALID_HANDLE_VALUE) return 1;
        pipe = next;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    server.quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (int i = 1; i < argc; ++i) {
        const std::string reply = runCommand(simToUtf8(argv[i]));
        if (reply.compare(0, 5, "error") == 0) {
            std::fprintf(stderr, "%s\n", reply.c_str());
            return 2;
        }
    }
    // A second server would silently share the control pipe's name with the first.
    HANDLE control = createControlInstance(FILE_FLAG_FIRST_PIPE_INSTANCE);
    if (control == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot create the control pipe (another server running?)\n");
        return 1;
    }
    HANDLE listener = CreateThread(nullptr, 0, listenForControl, control, 0, nullptr);
    if (listener == nullptr) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    WaitForSingleObject(server.quit, INFINITE);
    return 0;
}
