// Linux: an inhibitor lock of systemd-logind against sleep, asked for on the system bus. logind
// hands back a descriptor and blocks sleep until it is closed, so the lock goes with the process
// however it ends. Without a system bus or logind there is nothing to ask, and the update runs
// all the same.
#include "update/keep_awake.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr char kLogindService[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";
constexpr char kInhibit[] = "Inhibit";
constexpr char kInhibitArguments[] = "ssss";
constexpr char kWhat[] = "sleep";
constexpr char kWho[] = "zirvano-flash";
constexpr char kWhy[] = "Writing firmware into an ESC";
constexpr char kMode[] = "block";
// A bus that does not answer must not hold up the update for long.
constexpr std::uint64_t kCallTimeoutUs = 2000000;
constexpr int kNoLock = -1;
constexpr int kFirstFreeDescriptor = 3;

int holds = 0;
int lock = kNoLock;

// The lock's descriptor, or kNoLock where there is no system bus, no logind, or it refuses.
int takeLock() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return kNoLock;
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    int taken = kNoLock;
    int received = kNoLock;
    if (sd_bus_message_new_method_call(bus, &call, kLogindService, kLogindPath, kLogindManager,
                                       kInhibit) >= 0 &&
        sd_bus_message_append(call, kInhibitArguments, kWhat, kWho, kWhy, kMode) >= 0 &&
        sd_bus_call(bus, call, kCallTimeoutUs, nullptr, &reply) >= 0 &&
        sd_bus_message_read(reply, "h", &received) >= 0)
        // The reply owns the descriptor it carries and closes it with itself.
        taken = fcntl(received, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
    return taken < 0 ? kNoLock : taken;
}

}  // namespace

void keepAwake(bool holding) {
    if (holding) {
        if (holds++ != 0) return;
        lock = takeLock();
        return;
    }
    if (holds == 0 || --holds != 0) return;
    if (lock != kNoLock) close(lock);
    lock = kNoLock;
}
