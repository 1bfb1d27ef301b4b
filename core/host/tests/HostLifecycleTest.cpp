// Discovery, load order, registry, opening, closing and unloading.

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <fstream>

#include "core/host/tests/HostTestSupport.h"

namespace hosttest {
namespace {

namespace fs = boost::filesystem;
using Names = std::vector<std::string>;

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& l : lines)
        if (l == text) return true;
    return false;
}

TEST(CoreGetFiles, ListsRegularSoFilesAndSplitsMarkedOnes) {
    char pattern[] = "/tmp/kivfiles-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    for (const char* name : {"a.so", "x-Qalpi.so", "libfoo.so.2", "readme.txt", "qalpi.so"})
        std::ofstream(dir + "/" + name) << "x";
    fs::create_directories(dir + "/d.so");
    fs::create_directories(dir + "/sub");
    std::ofstream(dir + "/sub/deep.so") << "x";
    fs::create_symlink(dir + "/a.so", dir + "/link.so");
    fs::create_symlink(dir + "/missing", dir + "/dangling.so");

    std::vector<std::string> regular, marked;
    kiv::GetFiles(dir, ".so", regular, marked);
    std::sort(regular.begin(), regular.end());
    EXPECT_EQ(regular, (Names{dir + "/a.so", dir + "/link.so", dir + "/qalpi.so"}));
    EXPECT_EQ(marked, (Names{dir + "/x-Qalpi.so"}));

    // A missing directory or a file in its place adds nothing.
    kiv::GetFiles(dir + "/none", ".so", regular, marked);
    kiv::GetFiles(dir + "/a.so", ".so", regular, marked);
    EXPECT_EQ(regular.size(), 3u);
    EXPECT_EQ(marked.size(), 1u);
    fs::remove_all(dir);
}

TEST_F(CoreHost, LoadOrderIsMarkedFirstThenSortedPluginsThenProtected) {
    AddPlugin("plugins", "b.so", Silent(2));
    AddPlugin("protected-plugins", "c.so", Silent(3));
    AddPlugin("plugins", "x-Qalpi.so", Silent(4));
    AddPlugin("plugins", "a.so", Silent(1));
    AddPlugin("protected-plugins", "0.so", Silent(5));  // sorts before a.so by name only
    // Not plug-ins: wrong extension, a directory, a file in a subdirectory.
    AddPlugin("plugins", "libfoo.so.2", Silent(6));
    AddPlugin("plugins", "readme.txt", Silent(7));
    fs::create_directories(Path("plugins/d.so"));
    fs::create_directories(Path("plugins/sub"));
    AddPlugin("plugins/sub", "deep.so", Silent(8));

    ASSERT_TRUE(Core().Start());
    EXPECT_EQ(Calls("Load"), (Names{"x-Qalpi.so", "a.so", "b.so", "0.so", "c.so"}));
    EXPECT_EQ(Calls("Open"), (Names{"x-Qalpi.so", "a.so", "b.so", "0.so", "c.so"}));
    for (const std::string name : {"x-Qalpi.so", "a.so", "c.so"}) {
        // Load and Open run on the main thread.
        EXPECT_EQ(World::Get().ThreadOf(name + ":Load"), std::this_thread::get_id());
        EXPECT_EQ(World::Get().ThreadOf(name + ":Open"), std::this_thread::get_id());
    }
    EXPECT_TRUE(Core().GetNotLoaded().empty());
}

TEST_F(CoreHost, PluginFirstInRegistryIsOpenedFirstAndLoadTimesRecorded) {
    AddPlugin("plugins", "a.so", Silent(1));
    AddPlugin("protected-plugins", "z.so", Silent(KIV_ID_FIRST_IN_REGISTRY));
    AddPlugin("plugins", "b.so", Silent(2));
    ASSERT_TRUE(Core().Start());
    EXPECT_EQ(Calls("Load"), (Names{"a.so", "b.so", "z.so"}));
    EXPECT_EQ(Calls("Open"), (Names{"z.so", "a.so", "b.so"}));
    const std::vector<PLUGININFO> plugins = Core().GetPlugins();
    ASSERT_EQ(plugins.size(), 3u);
    EXPECT_EQ(plugins[0].LoadOut.dwPluginID, KIV_ID_FIRST_IN_REGISTRY);
    EXPECT_EQ(plugins[0].strFilename, "z.so");
    EXPECT_GE(plugins[0].llLoadTime, 0);
    EXPECT_NE(plugins[0].pfnSeek, nullptr);
}

TEST_F(CoreHost, SymbolicLinkCountsByItsTarget) {
    fs::create_directories(Path("store"));
    AddPlugin("store", "real.so", Silent(9));
    fs::create_symlink(Path("store/real.so"), Path("plugins/link.so"));
    fs::create_symlink(Path("store/none.so"), Path("plugins/dangling.so"));
    World::Get().SetBehaviour("link.so", Silent(9));
    ASSERT_TRUE(Core().Start());
    EXPECT_EQ(Calls("Load"), (Names{"link.so"}));
}

TEST_F(CoreHost, DuplicateIdentifierIsRefusedWithAWarning) {
    AddPlugin("plugins", "a.so", Silent(7));
    AddPlugin("plugins", "b.so", Silent(7));
    // The core's own identifier is taken as well: its references would mix with the core's.
    AddPlugin("plugins", "c.so", Silent(KIV_ID_CORE));
    AddPlugin("plugins", "d.so", Silent(8));
    ASSERT_TRUE(Core().Start());
    EXPECT_EQ(Calls("Load"), (Names{"a.so", "b.so", "c.so", "d.so"}));
    EXPECT_EQ(Calls("Open"), (Names{"a.so", "d.so"}));
    const auto log = CapturedLog();
    EXPECT_TRUE(Contains(log, "warning: plugin b.so ID 0x00000007 already loaded"));
    EXPECT_TRUE(Contains(log, "warning: plugin c.so ID 0x80000000 already loaded"));
    Core().Stop();
    EXPECT_EQ(Calls("Unload"), (Names{"a.so", "d.so"}));  // refused ones never get Unload
}

TEST_F(CoreHost, FailedLoadIsLoggedAndNotRegistered) {
    Behaviour returns = Silent(1);
    returns.loadResult = 2;
    Behaviour error = Silent(2);
    error.load.dwError = 5;
    AddPlugin("plugins", "a.so", returns);
    AddPlugin("plugins", "b.so", error);
    AddPlugin("plugins", "c.so", Silent(3));
    AddPlugin("plugins", "n.so", Silent(4), KIV_TEST_PLUGIN_NOLOAD);
    ASSERT_TRUE(Core().Start());
    EXPECT_EQ(Calls("Open"), (Names{"c.so"}));
    const auto log = CapturedLog();
    EXPECT_TRUE(Contains(log, "error: plugin a.so load returned 2 error 0"));
    EXPECT_TRUE(Contains(log, "error: plugin b.so load returned 0 error 5"));
    // A library without Load is dropped without a word.
    for (const std::string& line : log) EXPECT_EQ(line.find("n.so"), std::string::npos) << line;
    EXPECT_TRUE(Core().GetNotLoaded().empty());
}

TEST_F(CoreHost, LibraryThatCannotBeOpenedIsReportedAndTheRestLoads) {
    AddPlugin("plugins", "log.so", Sink(1));
    WriteFile("plugins/broken.so", "not a shared library");
    WriteFile("protected-plugins/empty.so", "");
    AddPlugin("protected-plugins", "z.so", Silent(2));
    ASSERT_TRUE(Core().Start());
    EXPECT_EQ(Calls("Open"), (Names{"log.so", "z.so"}));
    ASSERT_EQ(Core().GetNotLoaded().size(), 2u);

    // The failure reaches the plug-ins that subscribe to log texts.
    ASSERT_TRUE(World::Get().WaitFor([] {
        int logs = 0;
        for (const Delivery& d : World::Get().DeliveriesTo("log.so"))
            if (d.dwType == KIV_TYPE_LOG_TEXT) ++logs;
        return logs == 2;
    }));
    std::vector<std::string> texts;
    for (const Delivery& d : World::Get().DeliveriesTo("log.so")) {
        if (d.dwType != KIV_TYPE_LOG_TEXT) continue;
        EXPECT_EQ(d.dwSource, KIV_ID_CORE);
        EXPECT_EQ(d.dwFlags, KIV_FLAG_LOG);
        texts.push_back(d.data);
    }
    EXPECT_EQ(texts, (Names{"Failed to load plugin: broken.so (missing dependency)",
                            "Failed to load plugin: empty.so (missing dependency)"}));

    const std::vector<PLUGININFO> plugins = Core().GetPlugins();
    ASSERT_EQ(plugins.size(), 2u);
    const std::string expected =
        "<?xml ?>\n"
        "<Kivrec Delta=\"0\">\n"
        "    <Modules>\n"
        "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"3.2.7.40511\">\n"
        "            <Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" OpenCode=\"0\" />\n"
        "            <Plugin ID=\"1\" Filename=\"log.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"" +
        std::to_string(plugins[0].llLoadTime) + "\" OpenTime=\"" +
        std::to_string(plugins[0].llOpenTime) +
        "\" />\n"
        "            <Plugin ID=\"2\" Filename=\"z.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"" +
        std::to_string(plugins[1].llLoadTime) + "\" OpenTime=\"" +
        std::to_string(plugins[1].llOpenTime) +
        "\" />\n"
        "            <Plugin ID=\"1\" Filename=\"broken.so\" Opened=\"1\" OpenCode=\"79\" />\n"
        "            <Plugin ID=\"2\" Filename=\"empty.so\" Opened=\"1\" OpenCode=\"79\" />\n"
        "        </Module>\n"
        "        <Module ID=\"1\" Name=\"broken.so\" Version=\"not loaded\" />\n"
        "        <Module ID=\"2\" Name=\"empty.so\" Version=\"not loaded\" />\n"
        "    </Modules>\n"
        "</Kivrec>\n";
    EXPECT_EQ(ReadFile("plugins.xml"), expected);
}

TEST_F(CoreHost, OpenCodeIsRecordedAndThePluginStaysRegistered) {
    Behaviour failing = Sink(1);
    failing.openResult = 42;
    AddPlugin("plugins", "a.so", failing);
    ASSERT_TRUE(Core().Start());
    ASSERT_EQ(Core().GetPlugins().size(), 1u);
    EXPECT_EQ(Core().GetPlugins()[0].nOpenCode, 42);
    EXPECT_NE(ReadFile("plugins.xml").find("Filename=\"a.so\" Opened=\"1\" OpenCode=\"42\""),
              std::string::npos);
    // It keeps receiving events.
    EXPECT_EQ(Post(5, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "<x/>"), 0);
    EXPECT_TRUE(World::Get().WaitFor([] {
        for (const Delivery& d : World::Get().DeliveriesTo("a.so"))
            if (d.data == "<x/>") return true;
        return false;
    }));
}

TEST_F(CoreHost, ClosingAndUnloadingFollowDescendingSixthMask) {
    Behaviour five = Silent(1), zero = Silent(2), nine = Silent(3), top = Silent(4);
    five.load.dwRouteMask[5] = 5;
    nine.load.dwRouteMask[5] = 9;
    top.load.dwRouteMask[5] = 0x80000000u;  // compared unsigned
    AddPlugin("plugins", "a.so", five);
    AddPlugin("plugins", "b.so", zero);
    AddPlugin("plugins", "c.so", nine);
    AddPlugin("plugins", "d.so", top);
    ASSERT_TRUE(Core().Start());
    Core().Stop();
    EXPECT_EQ(Calls("Close"), (Names{"d.so", "c.so", "a.so", "b.so"}));
    EXPECT_EQ(Calls("Unload"), (Names{"d.so", "c.so", "a.so", "b.so"}));
    // Every Close comes before the first Unload, all on the main thread.
    const auto journal = World::Get().Journal();
    size_t lastClose = 0, firstUnload = journal.size();
    for (size_t i = 0; i < journal.size(); ++i) {
        if (journal[i].find(":Close") != std::string::npos) lastClose = i;
        if (journal[i].find(":Unload") != std::string::npos && i < firstUnload) firstUnload = i;
    }
    EXPECT_LT(lastClose, firstUnload);
    EXPECT_EQ(World::Get().ThreadOf("b.so:Unload"), std::this_thread::get_id());
    EXPECT_TRUE(Core().GetPlugins().empty());
}

TEST_F(CoreHost, NoPluginsStillStartsAndWritesTheCoreModule) {
    ASSERT_TRUE(Core().Start());
    EXPECT_TRUE(Core().GetPlugins().empty());
    EXPECT_EQ(ReadFile("plugins.xml"),
              "<?xml ?>\n"
              "<Kivrec Delta=\"0\">\n"
              "    <Modules>\n"
              "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"3.2.7.40511\">\n"
              "            <Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" "
              "OpenCode=\"0\" />\n"
              "        </Module>\n"
              "    </Modules>\n"
              "</Kivrec>\n");
}

TEST_F(CoreHost, WorkerThreadRunsBeforeOpenAndEndsAtClose) {
    auto closing = std::make_shared<std::atomic<bool>>(false);
    Behaviour worker = Silent(1);
    worker.load.bWorkerThread = 1;
    worker.onWorker = [closing](_IOCTLParmsIn*) {
        while (!*closing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    worker.onClose = [closing] { *closing = true; };
    AddPlugin("plugins", "w.so", worker);
    ASSERT_TRUE(Core().Start());
    ASSERT_TRUE(World::Get().WaitFor(
        [] { return World::Get().ThreadOf("w.so:IOCTL1") != std::thread::id(); }));
    EXPECT_NE(World::Get().ThreadOf("w.so:IOCTL1"), std::this_thread::get_id());
    Core().Stop();
    // The worker returned before the library was unloaded.
    const auto journal = World::Get().Journal();
    const auto end = std::find(journal.begin(), journal.end(), "w.so:IOCTL1-end");
    const auto unload = std::find(journal.begin(), journal.end(), "w.so:Unload");
    ASSERT_NE(end, journal.end());
    ASSERT_NE(unload, journal.end());
    EXPECT_LT(end, unload);
}

TEST_F(CoreHost, LibraryWithAThreadStillRunningIsNotUnloaded) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    Behaviour stuck = Silent(1);
    stuck.load.bWorkerThread = 1;
    stuck.onWorker = [release](_IOCTLParmsIn*) {
        while (!*release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    AddPlugin("plugins", "stuck.so", stuck);
    AddPlugin("plugins", "fine.so", Silent(2));
    Core().SetThreadWaitMs(50);
    ASSERT_TRUE(Core().Start());
    Core().Stop();
    EXPECT_EQ(Calls("Unload"), (Names{"fine.so"}));
    EXPECT_TRUE(Contains(CapturedLog(),
                         "warning: plugin stuck.so still runs a thread after close, not "
                         "unloading it"));
    // The thread may still return into mapped code and a valid core state.
    core.reset();
    *release = true;
    EXPECT_TRUE(World::Get().WaitFor([] {
        const auto j = World::Get().Journal();
        return std::find(j.begin(), j.end(), "stuck.so:IOCTL1-end") != j.end();
    }));
}

TEST_F(CoreHost, EventsQueuedAtStopAreDiscarded) {
    AddPlugin("plugins", "a.so", Sink(1));
    ASSERT_TRUE(Core().LoadPlugins());
    ASSERT_TRUE(Core().InitPlugins());
    // No event handler: these stay queued.
    EXPECT_EQ(Post(9, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "queued"), 0);
    Core().Stop();
    for (const Delivery& d : World::Get().Deliveries()) EXPECT_NE(d.data, "queued");
}

}  // namespace
}  // namespace hosttest
