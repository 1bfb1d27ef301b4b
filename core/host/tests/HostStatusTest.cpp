// The status documents as the plug-ins receive them.

#include <tinyxml.h>

#include "core/host/StatusDocuments.h"
#include "core/host/tests/HostTestSupport.h"

namespace hosttest {
namespace {

TEST(CoreStatusDocuments, CompactFormsAreByteExact) {
    TiXmlDocument doc;
    kiv::core::BuildPluginsDocument(
        doc, "core", {{0x00510000u, "RimvaultPI.so", 0, 12, 0x100000005ll}}, {"bad.so"});
    EXPECT_EQ(kiv::core::PrintCompact(doc),
              "<?xml ?><Kivrec Delta=\"0\"><Modules>"
              "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"3.2.7.40511\">"
              "<Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" OpenCode=\"0\" />"
              "<Plugin ID=\"5308416\" Filename=\"RimvaultPI.so\" Opened=\"1\" OpenCode=\"0\" "
              "LoadTime=\"12\" OpenTime=\"5\" />"
              "<Plugin ID=\"1\" Filename=\"bad.so\" Opened=\"1\" OpenCode=\"79\" />"
              "</Module>"
              "<Module ID=\"1\" Name=\"bad.so\" Version=\"not loaded\" />"
              "</Modules></Kivrec>");
    kiv::core::BuildCoreDocument(doc, false);
    EXPECT_EQ(kiv::core::PrintCompact(doc),
              "<?xml ?><Kivrec Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" "
              "/></Kivrec>");
    kiv::core::BuildAlarmDocument(doc, true, 1700000000);
    EXPECT_EQ(kiv::core::PrintCompact(doc),
              "<?xml ?><Kivrec><Memory ID=\"-2147483648\" Throttling=\"1\" "
              "Time=\"1700000000\" /></Kivrec>");
}

TEST_F(CoreHost, PluginsDocumentIsBroadcastToEveryPlugin) {
    AddPlugin("plugins", "a.so", Silent(0x00510000));
    AddPlugin("plugins", "b.so", Silent(2));
    ASSERT_TRUE(Core().Start());
    for (const char* name : {"a.so", "b.so"}) {
        ASSERT_TRUE(World::Get().WaitFor([name] {
            for (const Delivery& d : World::Get().DeliveriesTo(name))
                if (d.data.find("<Modules>") != std::string::npos) return true;
            return false;
        })) << name;
        for (const Delivery& d : World::Get().DeliveriesTo(name)) {
            if (d.data.find("<Modules>") == std::string::npos) continue;
            EXPECT_EQ(d.call, kIOCTL);
            EXPECT_EQ(d.code, KIV_IOCTL_BROADCAST);
            const std::string head = "<?xml ?><Kivrec Delta=\"0\"><Modules>";
            EXPECT_EQ(d.data.compare(0, head.size(), head), 0) << d.data;
            EXPECT_NE(d.data.find("<Plugin ID=\"5308416\" Filename=\"a.so\""), std::string::npos);
            EXPECT_EQ(d.data.back(), '>');  // no terminating NUL travels
        }
    }
}

}  // namespace
}  // namespace hosttest
