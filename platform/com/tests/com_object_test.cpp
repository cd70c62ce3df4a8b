// com_object_test.cpp - the reference-counting base by lifetime, the class factory and a server's table.
#include "platform/com/class_factory.h"
#include "platform/com/com_object.h"
#include "platform/com/oleauto.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using platform::ComLifetime;

inline constexpr CLSID kServed = {0x6C1D2E31, 0x4A5B, 0x4C6D, {0x9E, 0x0F, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76}};
inline constexpr CLSID kAlsoServed = {0x6C1D2E32, 0x4A5B, 0x4C6D, {0x9E, 0x0F, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76}};
inline constexpr CLSID kNotServed = {0x6C1D2E33, 0x4A5B, 0x4C6D, {0x9E, 0x0F, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76}};

// An object that says when it is destroyed.
template <ComLifetime kLifetime>
class Probe final : public platform::RefCounted<kLifetime, IUnknown> {
 public:
  explicit Probe(bool& destroyed) : m_destroyed(destroyed) {}
  ~Probe() override { m_destroyed = true; }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return this->Answer(riid, ppv, {{&IID_IUnknown, static_cast<IUnknown*>(this)}});
  }

 private:
  bool& m_destroyed;
};

struct Counts {
  ULONG firstAddRef;
  ULONG lastRelease;      // what the Release that balances the count returns
  bool destroyedThen;     // whether that Release destroyed the object
};

// Takes one reference and gives back every one the object has.
template <ComLifetime kLifetime>
Counts Balance(Probe<kLifetime>* probe, const bool& destroyed, int heldAtStart) {
  Counts counts{};
  counts.firstAddRef = probe->AddRef();
  for (int i = 0; i < heldAtStart; ++i) probe->Release();
  counts.lastRelease = probe->Release();
  counts.destroyedThen = destroyed;
  return counts;
}

TEST(RefCounted, EachLifetimeStartsAndEndsAsItSays) {
  bool creatorDestroyed = false, firstDestroyed = false, ownedDestroyed = false;
  const Counts creator = Balance(new Probe<ComLifetime::kCreatorHolds>(creatorDestroyed), creatorDestroyed, 1);
  const Counts first = Balance(new Probe<ComLifetime::kFirstAddRef>(firstDestroyed), firstDestroyed, 0);
  Probe<ComLifetime::kOwnedElsewhere> owned(ownedDestroyed);  // on the stack: deleting it would be the fault
  const Counts elsewhere = Balance(&owned, ownedDestroyed, 1);

  const struct {
    const char* name;
    Counts got;
    Counts expected;
  } cases[] = {
      {"creator holds", creator, {2, 0, true}},
      {"first AddRef", first, {1, 0, true}},
      {"owned elsewhere", elsewhere, {2, 0, false}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.got.firstAddRef, c.expected.firstAddRef) << c.name;
    EXPECT_EQ(c.got.lastRelease, c.expected.lastRelease) << c.name;
    EXPECT_EQ(c.got.destroyedThen, c.expected.destroyedThen) << c.name;
  }
  EXPECT_FALSE(ownedDestroyed);
}

TEST(RefCounted, AnswerCountsWhatItHandsOut) {
  bool destroyed = false;
  Probe<ComLifetime::kOwnedElsewhere> probe(destroyed);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(probe.QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(probe.QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(probe.QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(&probe));
  // The answer took a reference: two are held now.
  EXPECT_EQ(probe.Release(), 1u);
}

std::atomic<long>& TestLive() {
  static std::atomic<long> live{0};
  return live;
}

class Counted final : public platform::ComObject<TestLive, IUnknown> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<IUnknown*>(this)}});
  }
};

HRESULT MakeCounted(REFIID riid, void** ppv) {
  auto* made = new Counted;
  const HRESULT hr = made->QueryInterface(riid, ppv);
  made->Release();
  return hr;
}

TEST(ClassFactory, MakesCountedObjectsAndRefusesAggregation) {
  std::atomic<long> locks{0};
  platform::StaticClassFactory factory(MakeCounted, locks);
  const long before = TestLive().load();

  IUnknown* object = nullptr;
  ASSERT_EQ(factory.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object)), S_OK);
  EXPECT_EQ(TestLive().load(), before + 1);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(TestLive().load(), before);

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory.CreateInstance(object, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(TestLive().load(), before);

  EXPECT_EQ(factory.LockServer(TRUE), S_OK);
  EXPECT_EQ(factory.LockServer(TRUE), S_OK);
  EXPECT_EQ(locks.load(), 2);
  factory.LockServer(FALSE);
  factory.LockServer(FALSE);
  EXPECT_EQ(locks.load(), 0);
}

TEST(ClassFactory, AHeapFactoryGoesWithItsLastReference) {
  std::atomic<int> locks{0};
  auto* factory = new platform::ClassFactory<ComLifetime::kFirstAddRef, int>(MakeCounted, locks);
  EXPECT_EQ(factory->AddRef(), 1u);
  IClassFactory* asked = nullptr;
  ASSERT_EQ(factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&asked)), S_OK);
  EXPECT_EQ(asked, factory);
  asked->LockServer(TRUE);
  EXPECT_EQ(locks.load(), 1);
  EXPECT_EQ(asked->Release(), 1u);
  EXPECT_EQ(factory->Release(), 0u);  // deleted here (a sanitizer build sees any use after)
  EXPECT_EQ(locks.load(), 1);         // a lock outlives the factory: it is the library's
}

TEST(InprocServer, AnswersFromItsTableAndItsCounts) {
  std::atomic<long> live{0}, locks{0};
  platform::StaticClassFactory first(MakeCounted, locks), second(MakeCounted, locks);
  platform::InprocServer server({{&kServed, &first}, {&kAlsoServed, &second}}, live, locks, L"HKCR\n{\n}\n");

  const struct {
    const char* name;
    const CLSID* clsid;
    HRESULT expected;
    IClassFactory* factory;
  } cases[] = {
      {"first class", &kServed, S_OK, &first},
      {"second class", &kAlsoServed, S_OK, &second},
      {"a class not served", &kNotServed, CLASS_E_CLASSNOTAVAILABLE, nullptr},
  };
  for (const auto& c : cases) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(server.GetClassObject(*c.clsid, IID_IClassFactory, &out), c.expected) << c.name;
    EXPECT_EQ(out, c.factory) << c.name;
  }
  EXPECT_EQ(server.GetClassObject(kServed, IID_IClassFactory, nullptr), E_POINTER);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(server.GetClassObject(kServed, IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  EXPECT_EQ(server.CanUnloadNow(), S_OK);
  locks = 1;
  EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
  locks = 0;
  live = 1;
  EXPECT_EQ(server.CanUnloadNow(), S_FALSE);
  live = 0;
  EXPECT_EQ(server.CanUnloadNow(), S_OK);
}

}  // namespace
