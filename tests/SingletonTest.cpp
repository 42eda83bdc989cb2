// The owner of every long-lived manager: one instance, created once, destroyed on request.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <typeinfo>

#include "Singleton.h"
#include "TestDevice.h"

namespace {

class Counted : public Singleton<Counted> {};

class Failing : public Singleton<Failing> {
  public:
    Failing() {
        if (fail)
            throw std::runtime_error("constructor failed");
    }
    static bool fail;
};
bool Failing::fail = true;

TEST(Singleton, OneInstanceUntilDestroyedAndOneLogLineEach) {
    TestDevice device;
    EXPECT_EQ(Singleton<Counted>::GetInstance(), Singleton<Counted>::GetInstance());
    // The run-time type name as the language gives it, not demangled.
    const std::string name = typeid(Counted).name();
    EXPECT_EQ(1, device.LogCount("> Create Instance. " + name));

    // The second finds nothing to destroy and logs nothing; the next use creates anew.
    Singleton<Counted>::DestoryInstance();
    Singleton<Counted>::DestoryInstance();
    EXPECT_EQ(1, device.LogCount("> [singleton] destory instance. " + name));
    Singleton<Counted>::GetInstance();
    EXPECT_EQ(2, device.LogCount("> Create Instance. " + name));
    Singleton<Counted>::DestoryInstance();
}

TEST(Singleton, ThrowingConstructorLeavesNoInstanceAndUnlocks) {
    TestDevice device;
    EXPECT_THROW(Singleton<Failing>::GetInstance(), std::runtime_error);
    EXPECT_FALSE(device.LogHas("Create Instance"));

    // The mutex was released: another thread can now create it.
    Failing::fail = false;
    Failing* created = nullptr;
    std::thread other([&] { created = Singleton<Failing>::GetInstance(); });
    other.join();
    EXPECT_NE(nullptr, created);
    Singleton<Failing>::DestoryInstance();
}

}  // namespace
