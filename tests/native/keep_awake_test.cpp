// Keeping the system awake on Linux: logind's sleep lock, asked for on a private bus that the
// test starts (DBUS_SYSTEM_BUS_ADDRESS points there), with a stand-in for logind on it that hands
// out the write end of a pipe as the lock; the read end hangs up once every copy is closed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "update/keep_awake.h"

extern char** environ;

namespace {

constexpr char kBusVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr char kLogindService[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";
constexpr char kDeniedError[] = "org.freedesktop.DBus.Error.AccessDenied";
constexpr std::uint64_t kServeWaitUs = 50000;
// A bound, not a measurement: the bus daemon lets go of its copy of the lock soon after
// passing it on.
constexpr int kHangUpBoundMs = 5000;

int openDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

bool hungUp(int descriptor, int waitMs) {
    pollfd watched{descriptor, POLLIN, 0};
    return poll(&watched, 1, waitMs) == 1 && (watched.revents & POLLHUP) != 0;
}

struct InhibitCall {
    std::string what;
    std::string who;
    std::string why;
    std::string mode;
};

// The part of logind the lock needs: Manager.Inhibit, answered with a pipe's write end.
struct FakeLogind {
    bool refuses = false;
    std::mutex mutex;
    std::vector<InhibitCall> calls;
    std::vector<int> lockEnds;  // the read ends, one per lock handed out
};

int onLogindCall(sd_bus_message* call, void* context, sd_bus_error*) {
    if (sd_bus_message_is_method_call(call, kLogindManager, "Inhibit") <= 0) return 0;
    auto& logind = *static_cast<FakeLogind*>(context);
    const char* what = "";
    const char* who = "";
    const char* why = "";
    const char* mode = "";
    sd_bus_message_read(call, "ssss", &what, &who, &why, &mode);
    std::lock_guard<std::mutex> hold(logind.mutex);
    logind.calls.push_back({what, who, why, mode});
    if (logind.refuses) return sd_bus_reply_method_errorf(call, kDeniedError, "refused");
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return -errno;
    logind.lockEnds.push_back(ends[0]);
    const int replied = sd_bus_reply_method_return(call, "h", ends[1]);
    close(ends[1]);  // the reply carries a copy of its own
    return replied;
}

enum class BusSetting { noBus, busWithoutLogind, logindRefuses, logind };

// A bus daemon of the test's own, and optionally the stand-in for logind on it.
class PrivateBus : public ::testing::Test {
protected:
    void TearDown() override {
        stopServing.store(true);
        if (server.joinable()) server.join();
        sd_bus_flush_close_unref(logindBus);
        for (int end : logind.lockEnds) close(end);
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
        unsetenv(kBusVariable);
        if (!directory.empty()) {
            std::remove((directory + "/bus").c_str());
            std::remove((directory + "/bus.conf").c_str());
            rmdir(directory.c_str());
        }
    }

    // False (with the test skipped) where no bus daemon can be started.
    bool setUpBus(BusSetting setting) {
        char name[] = "/tmp/keep-awake-XXXXXX";
        if (mkdtemp(name) == nullptr) return false;
        directory = name;
        const std::string socket = directory + "/bus";
        if (setting == BusSetting::noBus) {
            setenv(kBusVariable, ("unix:path=" + socket).c_str(), 1);
            return true;
        }
        if (!startDaemon(socket)) return false;
        if (setting == BusSetting::busWithoutLogind) return true;
        logind.refuses = setting == BusSetting::logindRefuses;
        return serveLogind();
    }

    bool startDaemon(const std::string& socket) {
        const std::string config = directory + "/bus.conf";
        FILE* file = std::fopen(config.c_str(), "w");
        if (file == nullptr) return false;
        std::fprintf(file,
                     "<busconfig><listen>unix:path=%s</listen><auth>EXTERNAL</auth>"
                     "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                     "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy>"
                     "</busconfig>\n",
                     socket.c_str());
        std::fclose(file);
        // The daemon writes its address into the pipe once it listens.
        int ends[2];
        if (pipe(ends) != 0) return false;
        fcntl(ends[0], F_SETFD, FD_CLOEXEC);
        const std::string configArgument = "--config-file=" + config;
        const std::string addressArgument = "--print-address=" + std::to_string(ends[1]);
        const char* arguments[] = {"dbus-daemon", "--nofork", configArgument.c_str(),
                                   addressArgument.c_str(), nullptr};
        // Its complaint that it may not raise its descriptor limit says nothing about the test.
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&daemon, arguments[0], &quiet, nullptr,
                                         const_cast<char**>(arguments), environ);
        posix_spawn_file_actions_destroy(&quiet);
        close(ends[1]);
        if (spawned != 0) {
            close(ends[0]);
            daemon = 0;
            return false;
        }
        std::string address;
        char byte = 0;
        while (read(ends[0], &byte, 1) == 1 && byte != '\n') address += byte;
        close(ends[0]);
        if (address.empty()) return false;
        setenv(kBusVariable, address.c_str(), 1);
        busAddress = address;
        return true;
    }

    bool serveLogind() {
        if (sd_bus_new(&logindBus) < 0) return false;
        if (sd_bus_set_address(logindBus, busAddress.c_str()) < 0 ||
            sd_bus_set_bus_client(logindBus, 1) < 0 || sd_bus_start(logindBus) < 0 ||
            sd_bus_request_name(logindBus, kLogindService, 0) < 0 ||
            sd_bus_add_object(logindBus, nullptr, kLogindPath, onLogindCall, &logind) < 0)
            return false;
        server = std::thread([this] {
            while (!stopServing.load()) {
                const int processed = sd_bus_process(logindBus, nullptr);
                if (processed < 0) return;
                if (processed == 0) sd_bus_wait(logindBus, kServeWaitUs);
            }
        });
        return true;
    }

    std::size_t callCount() {
        std::lock_guard<std::mutex> hold(logind.mutex);
        return logind.calls.size();
    }
    int lastLockEnd() {
        std::lock_guard<std::mutex> hold(logind.mutex);
        return logind.lockEnds.empty() ? -1 : logind.lockEnds.back();
    }

    std::string directory;
    std::string busAddress;
    pid_t daemon = 0;
    sd_bus* logindBus = nullptr;
    FakeLogind logind;
    std::thread server;
    std::atomic<bool> stopServing{false};
};

#define SET_UP_BUS_OR_SKIP(setting)                                               \
    do {                                                                          \
        if (!setUpBus(setting)) GTEST_SKIP() << "no bus daemon could be started"; \
    } while (false)

using KeepAwake = PrivateBus;

class KeepAwakeWithoutALock : public PrivateBus,
                              public ::testing::WithParamInterface<BusSetting> {};

// Where there is nothing to ask, or nobody gives a lock, the update runs without one: nothing
// is left open, and holding and letting go still pair up.
TEST_P(KeepAwakeWithoutALock, LeavesNothingOpen) {
    SET_UP_BUS_OR_SKIP(GetParam());
    const int before = openDescriptors();
    keepAwake(true);
    EXPECT_EQ(openDescriptors(), before);
    keepAwake(false);
    keepAwake(false);  // one too many
    EXPECT_EQ(openDescriptors(), before);
    if (GetParam() == BusSetting::logindRefuses) {
        EXPECT_EQ(callCount(), 1u) << "logind was asked";
    }
}

INSTANTIATE_TEST_SUITE_P(KeepAwake, KeepAwakeWithoutALock,
                         ::testing::Values(BusSetting::noBus, BusSetting::busWithoutLogind,
                                           BusSetting::logindRefuses),
                         [](const ::testing::TestParamInfo<BusSetting>& info) {
                             switch (info.param) {
                                 case BusSetting::noBus: return "NoBus";
                                 case BusSetting::busWithoutLogind: return "BusWithoutLogind";
                                 case BusSetting::logindRefuses: return "LogindRefuses";
                                 case BusSetting::logind: break;
                             }
                             return "Logind";
                         });

TEST_F(KeepAwake, HoldsLogindsSleepLockUntilLetGo) {
    SET_UP_BUS_OR_SKIP(BusSetting::logind);
    keepAwake(true);
    ASSERT_EQ(callCount(), 1u);
    {
        std::lock_guard<std::mutex> hold(logind.mutex);
        EXPECT_EQ(logind.calls[0].what, "sleep");
        EXPECT_EQ(logind.calls[0].mode, "block");
        EXPECT_FALSE(logind.calls[0].who.empty());
        EXPECT_FALSE(logind.calls[0].why.empty());
    }
    const int lockEnd = lastLockEnd();
    ASSERT_GE(lockEnd, 0);
    EXPECT_FALSE(hungUp(lockEnd, 0)) << "the lock is held while the update runs";
    keepAwake(false);
    EXPECT_TRUE(hungUp(lockEnd, kHangUpBoundMs)) << "the lock goes once the update ended";
}

TEST_F(KeepAwake, NestedHoldsTakeOneLockAndTheLastLetsGo) {
    SET_UP_BUS_OR_SKIP(BusSetting::logind);
    keepAwake(true);
    keepAwake(true);
    EXPECT_EQ(callCount(), 1u);
    const int lockEnd = lastLockEnd();
    ASSERT_GE(lockEnd, 0);
    keepAwake(false);
    EXPECT_FALSE(hungUp(lockEnd, 0));
    keepAwake(false);
    EXPECT_TRUE(hungUp(lockEnd, kHangUpBoundMs));

    // Letting go once too often changes nothing: the next update takes a lock of its own.
    keepAwake(false);
    keepAwake(true);
    EXPECT_EQ(callCount(), 2u);
    const int nextEnd = lastLockEnd();
    EXPECT_FALSE(hungUp(nextEnd, 0));
    keepAwake(false);
    EXPECT_TRUE(hungUp(nextEnd, kHangUpBoundMs));
}

}  // namespace
