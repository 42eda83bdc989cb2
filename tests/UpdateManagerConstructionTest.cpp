// The update manager's constructor failing at each of its allocations in turn: whatever it had
// registered by then is withdrawn, so that the manager built afterwards is the only one heard.
// (Its own executable, as it replaces the global allocation functions.)

#include <atomic>
#include <cstdlib>
#include <new>

#include "UpdateFlow.h"

using namespace updateflow;

namespace {
// Allocations to go before one fails; 0: none fails.
std::atomic<long> g_allocationsBeforeFailure{0};
}  // namespace

// Many of the failures land inside the host device's C functions (its log, its store), which
// then lose the buffer they were filling: those leaks are the host's, not what is tested here.
extern "C" int __lsan_is_turned_off() {
    return 1;
}

void* operator new(size_t size) {
    long left = g_allocationsBeforeFailure.load();
    if (left > 0 && g_allocationsBeforeFailure.fetch_sub(1) == 1)
        throw std::bad_alloc();
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}

// Not inlined, so that the compiler does not pair the caller's `new` with this `free`.
__attribute__((noinline)) void operator delete(void* memory) noexcept {
    std::free(memory);
}

__attribute__((noinline)) void operator delete(void* memory, size_t) noexcept {
    std::free(memory);
}

namespace {

class UpdateManagerConstructionTest : public UpdateFlowTest {};

TEST_F(UpdateManagerConstructionTest, EachFailingStepWithdrawsWhatWasRegistered) {
    int failedConstructions = 0;
    for (long failingAllocation = 1;; ++failingAllocation) {
        g_allocationsBeforeFailure = failingAllocation;
        bool threw = false;
        try {
            Singleton<UpdateManager>::GetInstance();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        bool allocationFailed = g_allocationsBeforeFailure.exchange(0) <= 0;
        failedConstructions += threw;
        if (!allocationFailed)
            break;
        // A failure the units caught themselves may still leave a working manager.
        Singleton<UpdateManager>::DestoryInstance();
        ASSERT_FALSE(device.Exists("run/" + std::string(BRENWICK_APP_ID) + ".power"))
            << "power subscription left after allocation " << failingAllocation;
    }
    EXPECT_GT(failedConstructions, 10);

    // Only the manager that was built hears the store service and the power button.
    int handled = device.LogCount("m_OnHomeUpdateStatusChanged(");
    vconf_set_str(BIU_STATUS.c_str(), "priority0_installed");
    ASSERT_TRUE(
        RunLoopUntil([&] { return device.LogCount("m_OnHomeUpdateStatusChanged(") > handled; }));
    ASSERT_EQ(0, device.Tvctl("power 1 3"));
    ASSERT_TRUE(RunLoopUntil([&] { return device.LogHas("power off [3]"); }));
    // Every watcher of a change, and every subscriber of an event, is called at once.
    EXPECT_EQ(handled + 1, device.LogCount("m_OnHomeUpdateStatusChanged("));
    EXPECT_EQ(1, device.LogCount("power off [3]"));
}

}  // namespace
