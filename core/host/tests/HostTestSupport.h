#pragma once
// Support for the host's tests: the test plug-ins forward every call here,
// where each test decides, per library file name, how the plug-in behaves
// and what it records.

#include <gtest/gtest.h>
#include <wx/filename.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/host/dvrcore.h"
#include "core/pluginabi/PluginInterface.h"

namespace hosttest {

enum Call { kLoad = 0, kUnload, kOpen, kClose, kRead, kWrite, kSeek, kIOCTL };

// One Write or IOCTL code 2/3 delivery, as a plug-in saw it.
struct Delivery {
    std::string plugin;  // library file name
    int call;            // kWrite or kIOCTL
    uint32_t code;       // IOCTL code, 0 for Write
    void* pData;
    std::string data;
    uint32_t dwSource, dwStream, dwFlags, dwType;
    uint8_t bAsync;
    uint32_t cbArgs;
    std::string payload;  // abPayload of a Write
};

// How one test plug-in behaves.
struct Behaviour {
    _LoadParmsOut load{};  // copied into the Load output (cbSize/dwVersion kept)
    int loadResult = 0;
    int openResult = 0;
    bool keepData = false;  // bKeepData answered to deliveries
    std::function<void(_ReadParmsIn*)> onRead;
    std::function<void(_IOCTLParmsIn*)> onWorker;  // IOCTL code 1
    std::function<void()> onClose;
    std::function<void(const Delivery&)> onDeliver;
};

// Everything the plug-ins of one test did, in order.
class World {
  public:
    static World& Get();

    void Reset();
    void SetBehaviour(const std::string& plugin, Behaviour b);
    Behaviour GetBehaviour(const std::string& plugin);

    // "a.so:Load", "a.so:IOCTL1", "a.so:Write", ...
    std::vector<std::string> Journal();
    std::vector<Delivery> Deliveries();
    void ClearDeliveries();
    // Deliveries to `plugin` only.
    std::vector<Delivery> DeliveriesTo(const std::string& plugin);
    std::thread::id ThreadOf(const std::string& entry);
    PFN_PLUGIN_EVENT EventCallback();

    // Waits up to 5 s until `done` holds (checked after every recorded call).
    bool WaitFor(const std::function<bool()>& done);

    int Dispatch(const char* library, int call, void* in, void* out);

  private:
    void Record(const std::string& entry);

    std::mutex mtx;
    std::condition_variable cv;
    std::map<std::string, Behaviour> behaviours;
    std::vector<std::string> journal;
    std::map<std::string, std::thread::id> threads;
    std::vector<Delivery> deliveries;
    PFN_PLUGIN_EVENT pfnEvent = nullptr;
};

// Log records of the wx library captured during a test.
std::vector<std::string> CapturedLog();
void ClearCapturedLog();

// A temporary "executable" directory with plugins/ and protected-plugins/.
class CoreHost : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Copies the test plug-in to <dir>/<subdir>/<name> and gives it `b`.
    void AddPlugin(const std::string& subdir, const std::string& name, Behaviour b,
                   const char* source = nullptr);
    void WriteFile(const std::string& relative, const std::string& text);
    std::string ReadFile(const std::string& relative);
    std::string Path(const std::string& relative) const { return dir + "/" + relative; }

    // A core for the directory, with a clock and heap that the test controls.
    dvrcore& Core();

  public:
    // Posts an event as a plug-in would; returns nResult.
    static int Post(uint32_t source, uint32_t flags, uint32_t type, const std::string& data,
                    uint32_t stream = 0, uint8_t keyFrame = 0, void* pData = nullptr);

  protected:
    // Journal entries of one kind ("Load", "Open", ...) in order, as file names.
    std::vector<std::string> Calls(const std::string& kind);

    std::string dir;
    std::unique_ptr<dvrcore> core;
};

// A Load output with the given identifier that subscribes to everything.
Behaviour Sink(uint32_t id);
// A Load output with the given identifier and no subscription.
Behaviour Silent(uint32_t id);

}  // namespace hosttest
